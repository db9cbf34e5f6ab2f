// PIN and PUK operations of the CNS card and the unblock commands of the other card families.
#include "ops/pin_ops.h"

#include <array>
#include <cstring>
#include <initializer_list>

#include "card/result_codes.h"
#include "ops/reader_ops.h"
#include "scope/reader_scope.h"
#include "settings/settings_table.h"
#include "vantor/default_sm_key.h"

namespace cardolo {

namespace {

constexpr std::size_t kPinField = 8;

// The built-in triple-DES key of card authentication and secure messaging (shared with the
// PIN-dialog plug-in, which hands it to the PKCS#11 module).
constexpr const auto& kDefaultKey = vantor::kDefaultSecureMessagingKey;

SecureBytes copyValue(PinArg value) {
    if (!value.given() || value.tooLong()) {
        return {};
    }
    return SecureBytes(
        std::span<const std::uint8_t>(value.data, static_cast<std::size_t>(value.length)));
}

// A value of up to 8 bytes in an 8-byte field pre-filled with FF.
SecureBytes padded(std::span<const std::uint8_t> value) {
    SecureBytes field(kPinField, 0xFF);
    std::copy(value.begin(), value.end(), field.begin());
    return field;
}

bool isSmFailure(CardResult r) {
    return r == kSwSmMissing || r == kSwSmIncorrect || r == kSwWrongData;
}

// VERIFY with the padded value; a card that answers 6700 gets the value again unpadded. The form
// the card took (or the last one sent) is left in accepted for a RESET RETRY COUNTER.
CardResult verifyValue(M4Card& card, std::uint8_t reference, PinArg value, SecureBytes& accepted) {
    SecureBytes plain = copyValue(value);
    accepted = padded(plain.view());
    CardResult r = card.verify(reference, accepted.view());
    // An 8-byte value is the same padded or not: sending it again would change nothing.
    if (r == kSwWrongLength && plain.size() < kPinField) {
        accepted = std::move(plain);
        r = card.verify(reference, accepted.view());
    }
    return r;
}

std::int32_t verifyCode(CardResult r, std::int32_t blocked, std::int32_t wrong, bool signature) {
    if (r == 0) {
        return kOk;
    }
    if (r == kSwBlocked) {
        return blocked;
    }
    if (signature && isSmFailure(r)) {
        return kErrSecureMessaging;
    }
    return wrong;
}

// Switches secure messaging on for the given instructions with the caller's key (the built-in
// one when the flag is set and the key is null), or off when the flag is zero.
void setSecureMessaging(M4Card& card, KeyArg key, std::initializer_list<std::uint8_t> ins) {
    if (key.flag == 0) {
        card.setSecureMessaging(false, nullptr, nullptr, {});
        return;
    }
    const std::uint8_t* k = key.key != nullptr ? key.key : kDefaultKey.data();
    card.setSecureMessaging(true, k, k, std::span<const std::uint8_t>(ins.begin(), ins.size()));
}

// The frame common to the CNS exports: reader index, serial check, then the reader scope on the
// CNS card and the MF selection.
std::int32_t openCns(ReaderScope& scope, std::int32_t index, const std::uint8_t* serial) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (serial != nullptr) {
        if (std::int32_t r = checkSerial(index, serial); r != kOk) {
            return r;
        }
    }
    return scope.open(index, CardFamily::Corvo34v2, kErrConnect);
}

std::int32_t selectMfAndSignatureDf(ReaderScope& scope) {
    if (!selectionFound(scope.selectMf())) {
        return kErrSelectMf;
    }
    // The signature DF is selected for every CNS PIN operation; its result is not checked, as
    // the card-holder PIN and PUK are reachable from it as well.
    scope.m4().selectFile(SettingsTable::instance().fileId(kSettingDsDfRoot), FileKind::Df);
    return kOk;
}

// RESET RETRY COUNTER 00 2C 00 P2 with the PUK as the card accepted it and the new PIN padded.
CardResult resetRetryCounter(M4Card& card, std::uint8_t p2, const SecureBytes& acceptedPuk,
                             PinArg newPin) {
    SecureBytes plainNew = copyValue(newPin);
    SecureBytes data(acceptedPuk.view());
    data.append(padded(plainNew.view()).view());
    return card.pinCommand({0x00, 0x2C, 0x00, p2}, data.view());
}

// The signature unblock: select, verify the signature PUK and reset the signature PIN under
// secure messaging. refusedCode is the code for a status other than 9000 on the reset.
std::int32_t unblockSignaturePin(M4Card& card, PinArg dsPuk, PinArg newDsPin,
                                 std::int32_t refusedCode) {
    const SettingsTable& settings = SettingsTable::instance();
    SecureBytes acceptedPuk;
    CardResult r = verifyValue(card, settings.reference(kSettingDsPuk), dsPuk, acceptedPuk);
    if (std::int32_t code = verifyCode(r, kErrDsPukBlocked, kErrWrongDsPuk, true); code != kOk) {
        return code;
    }
    r = resetRetryCounter(card, static_cast<std::uint8_t>(settings.reference(kSettingDsPin) | 0x80),
                          acceptedPuk, newDsPin);
    if (r < 0) {
        return kErrPinBlocked;  // not transmitted
    }
    if (isSmFailure(r)) {
        return kErrSecureMessaging;
    }
    if (r != 0) {
        return refusedCode;
    }
    card.setSecureMessaging(false, nullptr, nullptr, {});
    return kOk;
}

}  // namespace

const std::uint8_t* defaultKey() {
    return kDefaultKey.data();
}

std::int32_t verifyPinPuk(std::int32_t index, const std::uint8_t* serial, PinArg pin, PinArg puk,
                          PinArg dsPin, PinArg dsPuk, KeyArg key) {
    if (!pin.given() && !puk.given() && !dsPin.given() && !dsPuk.given()) {
        return kErrNothingToDo;
    }
    if (pin.tooLong())
        return kErrPinTooLong;
    if (puk.tooLong())
        return kErrPukTooLong;
    if (dsPin.tooLong())
        return kErrDsPinTooLong;
    if (dsPuk.tooLong())
        return kErrDsPukTooLong;

    ReaderScope scope;
    if (std::int32_t r = openCns(scope, index, serial); r != kOk) {
        return r;
    }
    if (std::int32_t r = selectMfAndSignatureDf(scope); r != kOk) {
        return r;
    }
    M4Card& card = scope.m4();
    const SettingsTable& settings = SettingsTable::instance();
    SecureBytes accepted;
    if (pin.given()) {
        CardResult r = verifyValue(card, settings.reference(kSettingPin), pin, accepted);
        if (std::int32_t code = verifyCode(r, kErrPinBlocked, kErrWrongPin, false); code != kOk) {
            return code;
        }
    }
    if (puk.given()) {
        CardResult r = verifyValue(card, settings.reference(kSettingPuk), puk, accepted);
        if (std::int32_t code = verifyCode(r, kErrPukBlocked, kErrWrongPuk, false); code != kOk) {
            return code;
        }
    }
    setSecureMessaging(card, key, {0x20, 0x24});
    if (dsPin.given()) {
        CardResult r = verifyValue(card, settings.reference(kSettingDsPin), dsPin, accepted);
        if (std::int32_t code = verifyCode(r, kErrDsPinBlocked, kErrWrongDsPin, true);
            code != kOk) {
            return code;
        }
    }
    if (dsPuk.given()) {
        CardResult r = verifyValue(card, settings.reference(kSettingDsPuk), dsPuk, accepted);
        if (std::int32_t code = verifyCode(r, kErrDsPukBlocked, kErrWrongDsPuk, true);
            code != kOk) {
            return code;
        }
    }
    return kOk;
}

std::int32_t changePinPuk(std::int32_t index, const std::uint8_t* serial, PinChange pin,
                          PinChange puk, PinChange dsPin, PinChange dsPuk, KeyArg key) {
    if (!pin.complete() && !puk.complete() && !dsPin.complete() && !dsPuk.complete()) {
        return kErrNothingToDo;
    }
    if (pin.oldValue.tooLong())
        return kErrPinTooLong;
    if (pin.newValue.tooLong())
        return kErrNewPinTooLong;
    if (puk.oldValue.tooLong())
        return kErrPukTooLong;
    if (puk.newValue.tooLong())
        return kErrNewPukTooLong;
    if (dsPin.oldValue.tooLong())
        return kErrDsPinTooLong;
    if (dsPin.newValue.tooLong())
        return kErrNewDsPinTooLong;
    if (dsPuk.oldValue.tooLong())
        return kErrDsPukTooLong;
    if (dsPuk.newValue.tooLong())
        return kErrNewDsPukTooLong;

    ReaderScope scope;
    if (std::int32_t r = openCns(scope, index, serial); r != kOk) {
        return r;
    }
    if (std::int32_t r = selectMfAndSignatureDf(scope); r != kOk) {
        return r;
    }
    M4Card& card = scope.m4();
    const SettingsTable& settings = SettingsTable::instance();

    struct Step {
        const PinChange& change;
        std::uint8_t reference;
        std::uint8_t p2;
        std::int32_t blocked;
        std::int32_t wrong;
        std::int32_t refused;
        bool signature;
    };
    const std::uint8_t pinRef = settings.reference(kSettingPin);
    const std::uint8_t pukRef = settings.reference(kSettingPuk);
    const std::uint8_t dsPinRef = settings.reference(kSettingDsPin);
    const std::uint8_t dsPukRef = settings.reference(kSettingDsPuk);
    const Step steps[] = {
        {pin, pinRef, pinRef, kErrPinBlocked, kErrWrongPin, kErrChangePin, false},
        {puk, pukRef, pukRef, kErrPukBlocked, kErrWrongPuk, kErrChangePuk, false},
        {dsPin, dsPinRef, static_cast<std::uint8_t>(dsPinRef | 0x80), kErrDsPinBlocked,
         kErrWrongDsPin, kErrChangeDsPin, true},
        {dsPuk, dsPukRef, static_cast<std::uint8_t>(dsPukRef | 0x80), kErrDsPukBlocked,
         kErrWrongDsPuk, kErrChangeDsPuk, true},
    };
    bool smSet = false;
    for (const Step& step : steps) {
        if (step.signature && !smSet) {
            setSecureMessaging(card, key, {0x20, 0x24});
            smSet = true;
        }
        if (!step.change.complete()) {
            continue;
        }
        SecureBytes accepted;
        CardResult r = verifyValue(card, step.reference, step.change.oldValue, accepted);
        if (std::int32_t code = verifyCode(r, step.blocked, step.wrong, step.signature);
            code != kOk) {
            return code;
        }
        SecureBytes newValue = copyValue(step.change.newValue);
        r = card.changeReferenceData(step.p2, std::nullopt, padded(newValue.view()).view());
        if (r != 0) {
            return step.signature && isSmFailure(r) ? kErrSecureMessaging : step.refused;
        }
    }
    return kOk;
}

std::int32_t unblockPin(std::int32_t index, const std::uint8_t* serial, PinArg puk, PinArg newPin,
                        PinArg dsPuk, PinArg newDsPin, KeyArg key) {
    if (index < 1)
        return kErrNoReader;
    if (puk.tooLong())
        return kErrPukTooLong;
    if (newPin.tooLong())
        return kErrNewPinTooLong;
    if (dsPuk.tooLong())
        return kErrDsPukTooLong;
    if (newDsPin.tooLong())
        return kErrNewDsPinTooLong;

    ReaderScope scope;
    if (std::int32_t r = openCns(scope, index, serial); r != kOk) {
        return r;
    }
    M4Card& card = scope.m4();
    const SettingsTable& settings = SettingsTable::instance();
    if (puk.given() && newPin.given()) {
        if (!selectionFound(scope.selectMf())) {
            return kErrSelectMf;
        }
        SecureBytes acceptedPuk;
        CardResult r = verifyValue(card, settings.reference(kSettingPuk), puk, acceptedPuk);
        if (std::int32_t code = verifyCode(r, kErrPukBlocked, kErrWrongPuk, false); code != kOk) {
            return code;
        }
        r = resetRetryCounter(card, settings.reference(kSettingPin), acceptedPuk, newPin);
        if (r < 0) {
            return kErrPinBlocked;  // not transmitted
        }
        if (r != 0) {
            return kErrUnblockPin;
        }
    }
    if (dsPuk.given() && newDsPin.given()) {
        if (!selectionFound(scope.selectMf())) {
            return kErrSelectMf;
        }
        card.selectFile(settings.fileId(kSettingDsDfRoot), FileKind::Df);
        setSecureMessaging(card, key, {0x20, 0x2C});
        if (std::int32_t code = unblockSignaturePin(card, dsPuk, newDsPin, kErrUnblockDsPin);
            code != kOk) {
            return code;
        }
    }
    return kOk;
}

std::int32_t pinLimits(std::int32_t index, const std::uint8_t* serial, std::int32_t* const out[8]) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (serial != nullptr) {
        if (std::int32_t r = checkSerial(index, serial); r != kOk) {
            return r;
        }
    }
    static constexpr std::int32_t kLimits[8] = {6, 8, 8, 8, 6, 8, 8, 8};
    for (int i = 0; i < 8; ++i) {
        if (out[i] != nullptr) {
            *out[i] = kLimits[i];
        }
    }
    return kOk;
}

std::int32_t deactivatePin(std::int32_t index, const std::uint8_t* serial, KeyArg key) {
    ReaderScope scope;
    if (std::int32_t r = openCns(scope, index, serial); r != kOk) {
        return r;
    }
    if (std::int32_t r = selectMfAndSignatureDf(scope); r != kOk) {
        return r;
    }
    M4Card& card = scope.m4();
    const SettingsTable& settings = SettingsTable::instance();
    if (key.flag != 0) {
        const std::uint8_t* k = key.key != nullptr ? key.key : kDefaultKey.data();
        constexpr std::size_t kChallengeLength = 128;
        if (card.externalAuthenticate(settings.reference(kSettingDsKauth),
                                      std::span<const std::uint8_t>(k, 24),
                                      kChallengeLength) != 0) {
            return kErrCardAuth;
        }
    }
    const std::uint8_t object[2] = {0x00, settings.reference(kSettingDsPin)};
    CardResult r = card.pinCommand({0x00, 0x04, 0x00, 0x00}, object);
    if (r < 0) {
        return kErrPinBlocked;  // not transmitted
    }
    return r == 0 ? kOk : kErrDeactivate;
}

std::int32_t reactivatePin(std::int32_t index, const std::uint8_t* serial, PinArg dsPuk,
                           PinArg newDsPin, KeyArg key) {
    if (index < 1)
        return kErrNoReader;
    if (dsPuk.tooLong())
        return kErrDsPukTooLong;
    if (newDsPin.tooLong())
        return kErrDsPinTooLong;
    // The reactivation is authorised by the signature PUK: without it nothing can be done.
    if (!dsPuk.given())
        return kErrNothingToDo;

    ReaderScope scope;
    if (std::int32_t r = openCns(scope, index, serial); r != kOk) {
        return r;
    }
    if (std::int32_t r = selectMfAndSignatureDf(scope); r != kOk) {
        return r;
    }
    M4Card& card = scope.m4();
    const SettingsTable& settings = SettingsTable::instance();
    setSecureMessaging(card, key, {0x20, 0x2C});

    SecureBytes acceptedPuk;
    CardResult r = verifyValue(card, settings.reference(kSettingDsPuk), dsPuk, acceptedPuk);
    if (std::int32_t code = verifyCode(r, kErrDsPukBlocked, kErrWrongDsPuk, true); code != kOk) {
        return code;
    }
    const std::uint8_t pinRef = settings.reference(kSettingDsPin);
    const std::uint8_t pukRef = settings.reference(kSettingDsPuk);
    const std::uint8_t object[2] = {0x00, pinRef};
    r = card.pinCommand({0x00, 0x44, 0x00, 0x00}, object);
    if (r < 0)
        return kErrPinBlocked;
    if (isSmFailure(r))
        return kErrSecureMessaging;
    if (r != 0)
        return kErrReactivate;

    if (newDsPin.given()) {
        r = resetRetryCounter(card, static_cast<std::uint8_t>(pinRef | 0x80), acceptedPuk,
                              newDsPin);
        if (r < 0)
            return kErrPinBlocked;
        if (isSmFailure(r))
            return kErrSecureMessaging;
        if (r != 0)
            return kErrResetReactivated;
        card.setSecureMessaging(false, nullptr, nullptr, {});
    }
    // Rewrite the access data of the signature PIN object: its identifier, and the PIN and PUK
    // references that guard its use, change and reset.
    const std::uint8_t access[16] = {0x83,   0x02, 0x00,   pinRef, 0x86, 0x0A, 0x00, pinRef,
                                     pukRef, 0xFF, pukRef, 0xFF,   0xFF, 0xFF, 0xFF, 0xFF};
    return card.putDataPinAccess(access) == 0 ? kOk : kErrRewritePinObject;
}

namespace {

// Copies a PIN text of at most 8 characters into field; false when longer (a longer PIN would
// be cut and the card left with a value the user never chose).
bool copyText(const char* text, std::uint8_t* field) {
    const std::size_t n = strnlen(text, kPinField + 1);
    if (n > kPinField) {
        return false;
    }
    std::memcpy(field, text, n);
    return true;
}

// The two unblock commands of the other families go through a SetecCard scope with the MF
// selection retried with FCI, a DF path, then the command by the CardBase transmit.
std::int32_t sendInDfPath(ReaderScope& scope, std::initializer_list<std::uint16_t> dfs,
                          std::span<const std::uint8_t> command) {
    scope.selectMf();
    CardResult r = 0;
    for (std::uint16_t df : dfs) {
        r = scope.card().selectFile(df, FileKind::Df);
    }
    if (!selectionFound(r)) {
        return kErrSelectMf;
    }
    CardAnswer answer;
    return scope.card().transmit(command, answer) == 0 ? kOk : kErrPinBlocked;
}

// The Starcos default unblock values, assembled at run time rather than stored as text.
void starcosDefaults(std::uint8_t* data) {
    for (int i = 0; i < 8; ++i) {
        data[i] = static_cast<std::uint8_t>('0' + (i + 1) % 10);  // PUK 12345670
    }
    for (int i = 0; i < 6; ++i) {
        data[8 + i] = static_cast<std::uint8_t>('0');  // PIN 000000
    }
    data[14] = 0;
    data[15] = 0;
}

}  // namespace

std::int32_t unblockM4(std::int32_t index, const char* puk, const char* newPin) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (puk == nullptr || newPin == nullptr) {
        return kErrNothingToDo;
    }
    SecureBytes cmd{0x00, 0x2C, 0x00, 0x81, 0x10};
    cmd.resize(5 + 16, 0x00);
    if (!copyText(puk, cmd.data() + 5) || !copyText(newPin, cmd.data() + 5 + 8)) {
        return kErrNothingToDo;
    }
    ReaderScope scope;
    if (std::int32_t r = scope.open(index, CardFamily::Setec, kErrNoReader); r != kOk) {
        return r;
    }
    return sendInDfPath(scope, {0x0000, 0x1111}, cmd.view());
}

std::int32_t unblockStarcos(std::int32_t index, const char* puk, const char* newPin) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (puk == nullptr || newPin == nullptr) {
        return kErrNothingToDo;
    }
    SecureBytes cmd{0x80, 0x24, 0x30, 0x96, 0x10};
    cmd.resize(5 + 16, 0x00);
    starcosDefaults(cmd.data() + 5);
    if (!copyText(puk, cmd.data() + 5) || !copyText(newPin, cmd.data() + 5 + 8)) {
        return kErrNothingToDo;
    }
    ReaderScope scope;
    if (std::int32_t r = scope.open(index, CardFamily::Setec, kErrNoReader); r != kOk) {
        return r;
    }
    if (std::int32_t r = sendInDfPath(scope, {0x1111}, cmd.view()); r != kOk) {
        return r;
    }
    cmd[3] = 0x9A;
    return sendInDfPath(scope, {0xDF01}, cmd.view());
}

}  // namespace cardolo
