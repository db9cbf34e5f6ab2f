// The software provider's one error domain: a CryptoAPI result code carried as an exception
// inside the library and turned into FALSE plus the thread's last error at each entry point.
#pragma once

#include <new>

#include "win/errhandlingapi.h"
#include "win/winerror.h"

namespace vantor::capi {

class CapiError final {
  public:
    explicit CapiError(HRESULT code) : code_(static_cast<DWORD>(code)) {}
    explicit CapiError(DWORD code) : code_(code) {}
    explicit CapiError(long code) : code_(static_cast<DWORD>(code)) {}
    DWORD code() const { return code_; }

  private:
    DWORD code_;
};

[[noreturn]] inline void fail(HRESULT code) {
    throw CapiError(code);
}
[[noreturn]] inline void failWin32(long code) {
    throw CapiError(static_cast<DWORD>(code));
}

// Runs body; TRUE with last error 0 on success, FALSE with the code otherwise. No exception
// leaves an entry point.
template <typename Body>
BOOL guarded(Body&& body) noexcept {
    try {
        body();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (const CapiError& e) {
        SetLastError(e.code());
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(NTE_NO_MEMORY));
    } catch (...) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
    }
    return FALSE;
}

// The size protocol of every getter: a null buffer asks for the size, a short one gets the size
// and ERROR_MORE_DATA; otherwise the bytes are copied and the length reported.
void copyOut(const void* data, DWORD size, BYTE* buffer, DWORD* length);

}  // namespace vantor::capi
