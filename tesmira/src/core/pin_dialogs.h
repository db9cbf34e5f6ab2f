// What the PIN/PUK workflows ask of the user interface: one of the two entry dialogs, run
// modally in a given mode, and a message box. The window provides it; tests script it.
#pragma once

#include <string>

#include "pin_entry.h"
#include "secret_text.h"

namespace tesmira {

// What a dialog handed back: nothing unless the user confirmed and the checks passed.
struct PinDialogAnswer {
    bool okPressed = false;
    SecretText first;  // old PIN, old PUK or PUK, by mode
    SecretText newPin;
    bool changingDS = false;
};

class PinDialogs {
  public:
    // Creates a new dialog of that kind, sets the mode, shows it modally and lets pending
    // window events run before answering.
    virtual PinDialogAnswer Run(PinDialogKind kind, PinDialogMode mode) = 0;
    // A message box with the information icon, or the warning icon when warning.
    virtual void Notify(const std::string& text, bool warning) = 0;

  protected:
    ~PinDialogs() = default;
};

}  // namespace tesmira
