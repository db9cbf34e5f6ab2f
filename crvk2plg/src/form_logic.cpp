// The dialogs' texts by kind and the order in which their OK checks the fields.
#include "form_logic.h"

namespace crvk2plg {

namespace {

constexpr FormTexts kEntry{29, 30, {0, 0, 0}, {17, 18}, {}, {}};
constexpr FormTexts kUnblock{31, 32, {33, 34, 35}, {19, 20}, {21, 22}, {25, 26}};
constexpr FormTexts kChangePin{36, 37, {38, 39, 40}, {17, 18}, {21, 22}, {25, 26}};
constexpr FormTexts kChangePuk{41, 42, {43, 44, 45}, {19, 20}, {23, 24}, {27, 28}};

}  // namespace

const FormTexts& formTexts(FormKind kind) {
    switch (kind) {
        case FormKind::Unblock:
            return kUnblock;
        case FormKind::ChangePin:
            return kChangePin;
        case FormKind::ChangePuk:
            return kChangePuk;
        case FormKind::PinEntry:
        default:
            return kEntry;
    }
}

Verdict judge(FormKind kind, std::string_view first, std::string_view newValue,
              std::string_view repeat) {
    const FormTexts& texts = formTexts(kind);
    Verdict v;
    if (first.empty()) {
        v.message = texts.firstEmpty;
        v.focus = Field::First;
        return v;
    }
    if (kind == FormKind::PinEntry) {
        v.accept = true;
        return v;
    }
    if (newValue.empty()) {
        v.message = texts.secondEmpty;
        v.focus = Field::New;
        return v;
    }
    if (newValue != repeat) {
        v.message = texts.repetitionDiffers;
        v.focus = Field::New;
        v.clearNewFields = true;
        return v;
    }
    v.accept = true;
    return v;
}

}  // namespace crvk2plg
