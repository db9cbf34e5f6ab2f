// The PIN entry dialogs' captions and OK-button checks.
#include "pin_entry.h"

#include "messages.h"

namespace tesmira {

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

std::string FillLimits(std::string text, std::int32_t min, std::int32_t max) {
    ReplaceAll(text, "$min$", std::to_string(min));
    ReplaceAll(text, "$max$", std::to_string(max));
    return text;
}

void PinEntryForm::setMode(PinDialogMode mode) {
    ForPuk = mode == PinDialogMode::ChangePuk;
    ForUnlock = mode == PinDialogMode::Unblock;
}

PinDialogMode PinEntryForm::mode() const {
    if (ForUnlock) {
        return PinDialogMode::Unblock;
    }
    return ForPuk ? PinDialogMode::ChangePuk : PinDialogMode::ChangePin;
}

PinDialogCaptions PinEntryForm::ApplyCaptions() {
    OkPressed = false;
    ChangingDS = false;
    switch (mode()) {
        case PinDialogMode::Unblock:
            return {LoadMessage(1037), LoadMessage(1021), LoadMessage(1022),
                    LoadMessage(1038), LoadMessage(1033), LoadMessage(1035)};
        case PinDialogMode::ChangePuk:
            return {LoadMessage(1025), LoadMessage(1026), LoadMessage(1027),
                    LoadMessage(1028), LoadMessage(1034), LoadMessage(1036)};
        case PinDialogMode::ChangePin:
            break;
    }
    return {LoadMessage(1020), LoadMessage(1021), LoadMessage(1022),
            LoadMessage(1023), LoadMessage(1033), LoadMessage(1035)};
}

PinValidation PinEntryForm::Validate(const std::string& oldPin, const std::string& newPin1,
                                     const std::string& newPin2, bool signatureOption) {
    const PinDialogMode m = mode();
    PinValidation v;
    // Lengths are counted in characters as typed; the fields hand over UTF-8, so a
    // character outside ASCII counts once.
    const auto chars = [](const std::string& s) {
        std::int32_t n = 0;
        for (const unsigned char c : s) {
            n += (c & 0xC0) != 0x80 ? 1 : 0;
        }
        return n;
    };
    if (oldPin.empty()) {
        v.message = LoadMessage(m == PinDialogMode::ChangePin ? 1122 : 1123);
        v.focus = PinField::OldPin;
        return v;
    }
    if (chars(oldPin) > iMaxNewLen) {
        const long id = m == PinDialogMode::Unblock     ? 1128
                        : m == PinDialogMode::ChangePuk ? 1127
                                                        : 1126;
        v.message = FillLimits(LoadMessage(id), 1, iMaxNewLen);
        v.focus = PinField::OldPin;
        v.clearOldPin = true;
        return v;
    }
    if (newPin1 != newPin2) {
        v.message = LoadMessage(m == PinDialogMode::ChangePuk ? 1032 : 1031);
        v.focus = PinField::NewPin2;
        return v;
    }
    if (chars(newPin1) < iMinNewLen || chars(newPin1) > iMaxNewLen) {
        v.message = FillLimits(LoadMessage(m == PinDialogMode::ChangePuk ? 1110 : 1109), iMinNewLen,
                               iMaxNewLen);
        v.focus = PinField::NewPin1;
        return v;
    }
    ChangingDS = signatureOption;
    OkPressed = true;
    v.accepted = true;
    return v;
}

}  // namespace tesmira
