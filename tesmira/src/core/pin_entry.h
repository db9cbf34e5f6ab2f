// The PIN entry dialogs' rules without a window: their modes, captions and the checks made when
// OK is pressed, in the order the user meets them.
#pragma once

#include <cstdint>
#include <string>

#include "secret_text.h"

namespace tesmira {

// Which dialog a workflow shows: 1 has the three fields only, 2 adds the choice between the
// main and the strong-signature PIN/PUK.
enum class PinDialogKind { Plain = 1, WithSignatureOption = 2 };

// The mode a caller sets before showing a dialog.
enum class PinDialogMode { ChangePin, ChangePuk, Unblock };

// The texts of the dialog's labels, caption and options for its mode.
struct PinDialogCaptions {
    std::string oldPinLabel;
    std::string newPin1Label;
    std::string newPin2Label;
    std::string caption;
    std::string option0;
    std::string option1;
};

// Where the dialog puts the keyboard focus after a refused OK.
enum class PinField { None, OldPin, NewPin1, NewPin2 };

// The outcome of pressing OK: accepted, or the warning text, the field to focus and whether the
// first field is emptied.
struct PinValidation {
    bool accepted = false;
    std::string message;
    PinField focus = PinField::None;
    bool clearOldPin = false;
};

// The state both dialogs share: the mode flags the caller sets, the length limits and what the
// user confirmed.
class PinEntryForm {
  public:
    bool OkPressed = false;
    bool ForPuk = false;
    bool ForUnlock = false;
    std::int32_t iMinNewLen = 6;
    std::int32_t iMaxNewLen = 8;
    bool ChangingDS = false;

    void setMode(PinDialogMode mode);
    // Unblock is checked before PUK change, so a caller that set both gets the unblock texts.
    PinDialogMode mode() const;

    // What the dialog loads with: the texts of its mode; OkPressed and ChangingDS cleared.
    PinDialogCaptions ApplyCaptions();

    // The checks of the OK button in their order; the first failing one answers. On success
    // OkPressed is set and ChangingDS taken from the option (always false for dialog 1).
    PinValidation Validate(const std::string& oldPin, const std::string& newPin1,
                           const std::string& newPin2, bool signatureOption);

    void Cancel() { OkPressed = false; }
};

// A message with every "$min$" and "$max$" replaced by the numbers given.
std::string FillLimits(std::string text, std::int32_t min, std::int32_t max);

}  // namespace tesmira
