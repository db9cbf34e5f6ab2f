// The library's result codes: 0 success, negative codes below, positive values are status words.
#pragma once

#include <cstdint>

namespace cardolo {

inline constexpr std::int32_t kOk = 0;
inline constexpr std::int32_t kErrNoContext = -1;  // no PC/SC context; card not answering
inline constexpr std::int32_t kErrNoReader = -2;   // reader list / index / card unreachable
inline constexpr std::int32_t kErrConnect = -3;    // card could not be connected
inline constexpr std::int32_t kErrSelectMf = -4;   // MF (or the PIN's DF) not selectable
inline constexpr std::int32_t kErrSecureMessaging = -10;
inline constexpr std::int32_t kErrChangePin = -15;
inline constexpr std::int32_t kErrChangePuk = -16;
inline constexpr std::int32_t kErrChangeDsPin = -17;
inline constexpr std::int32_t kErrChangeDsPuk = -18;
inline constexpr std::int32_t kErrUnblockPin = -20;
inline constexpr std::int32_t kErrUnblockDsPin = -21;
inline constexpr std::int32_t kErrWrongPin = -22;
inline constexpr std::int32_t kErrWrongPuk = -23;
inline constexpr std::int32_t kErrWrongDsPin = -24;
inline constexpr std::int32_t kErrWrongDsPuk = -25;
inline constexpr std::int32_t kErrDeactivate = -26;
inline constexpr std::int32_t kErrCardAuth = -27;
inline constexpr std::int32_t kErrReactivate = -28;
inline constexpr std::int32_t kErrResetReactivated = -29;
inline constexpr std::int32_t kErrRewritePinObject = -30;
inline constexpr std::int32_t kErrPinBlocked = -32;  // also: a raw command not transmitted
inline constexpr std::int32_t kErrPukBlocked = -33;
inline constexpr std::int32_t kErrDsPinBlocked = -34;
inline constexpr std::int32_t kErrDsPukBlocked = -35;
inline constexpr std::int32_t kErrNewPinTooLong = -56;
inline constexpr std::int32_t kErrNewPukTooLong = -57;
inline constexpr std::int32_t kErrNewDsPinTooLong = -58;
inline constexpr std::int32_t kErrNewDsPukTooLong = -59;
inline constexpr std::int32_t kErrPinTooLong = -60;
inline constexpr std::int32_t kErrPukTooLong = -61;
inline constexpr std::int32_t kErrDsPinTooLong = -62;
inline constexpr std::int32_t kErrDsPukTooLong = -63;
inline constexpr std::int32_t kErrNothingToDo = -64;  // also: no output buffer, bad argument
inline constexpr std::int32_t kErrSerialMismatch = -65;
inline constexpr std::int32_t kErrSerialRead = -66;
inline constexpr std::int32_t kErrAtrBufferTooShort = -128;

}  // namespace cardolo
