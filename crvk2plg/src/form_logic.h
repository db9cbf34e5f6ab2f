// What the three PIN dialogs show and how their OK is judged, without a window.
#pragma once

#include <string_view>

#include "win/windef.h"

namespace crvk2plg {

// The dialogs by request kind: entry (0-2), unblock (3), PIN change (4), PUK change (5).
enum class FormKind { PinEntry, Unblock, ChangePin, ChangePuk };

// A message box text and its caption (message numbers).
struct MessageRef {
    DWORD text = 0;
    DWORD caption = 0;
};

// The texts a dialog is given at start-up (0: the dialog has no such control) and the messages
// its OK may show.
struct FormTexts {
    DWORD prompt;
    DWORD caption;
    DWORD labels[3];
    MessageRef firstEmpty;
    MessageRef secondEmpty;
    MessageRef repetitionDiffers;
};

const FormTexts& formTexts(FormKind kind);

// Fields of a dialog in tab order: entry has First only; the others First (old value or PUK),
// New and Repeat.
enum class Field { First, New, Repeat };

// The judgement of one OK: close as confirmed, or show a message, focus a field and perhaps
// empty the new value and its repetition.
struct Verdict {
    bool accept = false;
    MessageRef message;
    Field focus = Field::First;
    bool clearNewFields = false;
};

// Judges OK on the fields' UTF-8 contents, in the dialogs' order: first field empty, new value
// empty, new value and repetition differ (byte-wise, so case-sensitive).
Verdict judge(FormKind kind, std::string_view first, std::string_view newValue,
              std::string_view repeat);

// The most characters a field takes and a value handed back keeps.
constexpr int kMaxFieldChars = 1024;

}  // namespace crvk2plg
