// The PIN dialog: lists the tokens present (filtered by serial), logs the chosen one in.
#pragma once

#include "win/windef.h"

#include <optional>
#include <string>

namespace tvx {

struct CardSession;

// Shows the modal dialog owned by the calling thread's active window. 0 when it ended with OK
// (the session is logged in); otherwise ERR_PIN_CANCELLED, ERR_READERS_CHANGED, or the raw
// PKCS#11 value of a refused login. Without a display it fails at once with ERR_PIN_CANCELLED.
DWORD runPinDialog(CardSession& card, DWORD forcePin,
                   const std::optional<std::string>& serialFilter);

// Object names of the dialog's controls, for the widget-driven tests.
inline constexpr char kPinDialogName[] = "tvxPinDialog";
inline constexpr char kTokenComboName[] = "control1004";
inline constexpr char kPinEditName[] = "control1005";
inline constexpr char kInfoEditName[] = "control1007";
inline constexpr char kIconName[] = "control1006";
inline constexpr char kOkButtonName[] = "control1";
inline constexpr char kCancelButtonName[] = "control2";

}  // namespace tvx
