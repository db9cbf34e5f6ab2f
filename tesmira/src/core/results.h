// Result codes and operation codes of the manager, and the text the window shows for a result.
#pragma once

#include <cstdint>
#include <string>

namespace tesmira {

inline constexpr std::int32_t kResultOk = 0;
inline constexpr std::int32_t kResultCancelled = static_cast<std::int32_t>(0x80400001u);
inline constexpr std::int32_t kResultNotSupported = static_cast<std::int32_t>(0x80400054u);
inline constexpr std::int32_t kResultTokenNotValid = static_cast<std::int32_t>(0x804000E1u);

inline constexpr int OP_CHANGE_PIN = 1;
inline constexpr int OP_CHANGE_PUK = 3;
inline constexpr int OP_UNBLOCK_PIN = 10;
inline constexpr int OP_IMPORT_P12 = 20;

// The message for a result other than success and cancellation, by the operation that gave it.
std::string ErrorText(std::int32_t result, int operation);

}  // namespace tesmira
