// Run-time errors of the manager's routines: a number and a description, raised by the back-end
// bindings and absorbed or reported by the routine that called them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tesmira {

// The numbers the manager's routines raise besides the automation library's HRESULTs.
inline constexpr std::int32_t kErrInvalidCall = 5;         // collection key not found
inline constexpr std::int32_t kErrFileNotFound = 53;       // a bound library does not load
inline constexpr std::int32_t kErrCantCreateObject = 429;  // COM class not registered
inline constexpr std::int32_t kErrEntryPoint = 453;        // export missing from a library

class RuntimeError : public std::runtime_error {
  public:
    RuntimeError(std::int32_t number, const std::string& description)
        : std::runtime_error(description), number_(number) {}
    std::int32_t number() const { return number_; }

  private:
    std::int32_t number_;
};

// A failed automation call raises its HRESULT as the error number.
void ThrowIfFailed(std::int32_t hr, const char* what);

}  // namespace tesmira
