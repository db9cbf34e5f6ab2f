// The card model's PIN/PUK workflows: which dialog and back end each card type uses, the card
// library's PIN exports and the automation library's session calls.
#include <string>

#include "cardolo_library.h"
#include "messages.h"
#include "p11_session.h"
#include "pin_dialogs.h"
#include "results.h"
#include "runtime_error.h"
#include "smart_card.h"

namespace tesmira {

namespace {

// A value as the card library takes it: its characters and their count; an unused value is the
// empty string with length 0.
struct Arg {
    const unsigned char* text;
    std::int32_t length;
};

Arg A(const SecretText& s) {
    return {reinterpret_cast<const unsigned char*>(s.c_str()), static_cast<std::int32_t>(s.size())};
}

const SecretText& Unused() {
    static const SecretText empty;
    return empty;
}

// The card library's trailing arguments: no key of the caller's (the library's own is used)
// and secure messaging on for the signature PIN and PUK.
constexpr const unsigned char* kNoKey = nullptr;
constexpr std::int32_t kSecureMessaging = 1;
// No serial: the operation acts on whatever card is in the reader.
constexpr const unsigned char* kNoSerial = nullptr;

// Which of the four PIN/PUK pairs of the change export a call fills.
enum class Pair { Pin, Puk, DsPin, DsPuk };

std::int32_t ChangePair(CardoloLibrary& lib, std::int32_t slot, Pair pair, const SecretText& old,
                        const SecretText& fresh) {
    const auto pick = [&](Pair p, const SecretText& v) { return A(p == pair ? v : Unused()); };
    const Arg pin = pick(Pair::Pin, old), newPin = pick(Pair::Pin, fresh);
    const Arg puk = pick(Pair::Puk, old), newPuk = pick(Pair::Puk, fresh);
    const Arg dsPin = pick(Pair::DsPin, old), newDsPin = pick(Pair::DsPin, fresh);
    const Arg dsPuk = pick(Pair::DsPuk, old), newDsPuk = pick(Pair::DsPuk, fresh);
    return lib.ChangePinPuk(slot, kNoSerial, pin.text, pin.length, newPin.text, newPin.length,
                            puk.text, puk.length, newPuk.text, newPuk.length, dsPin.text,
                            dsPin.length, newDsPin.text, newDsPin.length, dsPuk.text, dsPuk.length,
                            newDsPuk.text, newDsPuk.length, kNoKey, kSecureMessaging);
}

bool TakesTokenInitialisation(std::int32_t type) {
    return type == 2 || type == 3 || type == 8 || type == 32;
}

}  // namespace

void SmartCardCls::RunDialog(PinDialogKind kind, PinDialogMode mode, std::int32_t* result,
                             const std::function<void(const PinDialogAnswer&)>& backEnd) {
    if (env_.dialogs == nullptr) {
        *result = kResultCancelled;
        return;
    }
    const PinDialogAnswer answer = env_.dialogs->Run(kind, mode);
    if (!answer.okPressed) {
        *result = kResultCancelled;
        return;
    }
    backEnd(answer);
}

void SmartCardCls::ChangePIN(std::int32_t* result) {
    switch (type_) {
        case 1:
            RunDialog(
                PinDialogKind::Plain, PinDialogMode::ChangePin, result,
                [&](const PinDialogAnswer& a) { CardoloChangePIN(a.first, a.newPin, result); });
            return;
        case 2:
        case 3:
            RunDialog(PinDialogKind::WithSignatureOption, PinDialogMode::ChangePin, result,
                      [&](const PinDialogAnswer& a) {
                          if (a.changingDS) {
                              CardoloChangeDSPIN(a.first, a.newPin, result);
                          } else {
                              CardoloChangePIN(a.first, a.newPin, result);
                          }
                      });
            return;
        default:
            // Every other type, known or not, changes its PIN through its PKCS#11 library.
            RunDialog(PinDialogKind::Plain, PinDialogMode::ChangePin, result,
                      [&](const PinDialogAnswer& a) {
                          PKCS11ChangePIN(slotId_, a.first, a.newPin, result);
                      });
            return;
    }
}

void SmartCardCls::ChangePUK(std::int32_t* result) {
    switch (type_) {
        case 1:
            RunDialog(
                PinDialogKind::Plain, PinDialogMode::ChangePuk, result,
                [&](const PinDialogAnswer& a) { CardoloChangePUK(a.first, a.newPin, result); });
            return;
        case 2:
        case 3:
            RunDialog(PinDialogKind::WithSignatureOption, PinDialogMode::ChangePuk, result,
                      [&](const PinDialogAnswer& a) {
                          if (a.changingDS) {
                              CardoloChangeDSPUK(a.first, a.newPin, result);
                          } else {
                              CardoloChangePUK(a.first, a.newPin, result);
                          }
                      });
            return;
        case 8:
        case 32:
            RunDialog(PinDialogKind::Plain, PinDialogMode::ChangePuk, result,
                      [&](const PinDialogAnswer& a) {
                          PKCS11ChangePUK(slotId_, a.first, a.newPin, result);
                      });
            return;
        default:
            *result = kResultNotSupported;
            return;
    }
}

void SmartCardCls::UnblockPIN(std::int32_t* result) {
    // The PCSC_Unblock_* exports of the card families that unblock outside PKCS#11.
    std::int32_t (CardoloLibrary::*family)(std::int32_t, const char*, const char*) = nullptr;
    switch (type_) {
        case 1:
            RunDialog(
                PinDialogKind::Plain, PinDialogMode::Unblock, result,
                [&](const PinDialogAnswer& a) { CardoloUnblockPIN(a.first, a.newPin, result); });
            return;
        case 2:
        case 3:
            RunDialog(PinDialogKind::WithSignatureOption, PinDialogMode::Unblock, result,
                      [&](const PinDialogAnswer& a) {
                          if (a.changingDS) {
                              CardoloUnblockDSPIN(a.first, a.newPin, result);
                          } else {
                              CardoloUnblockPIN(a.first, a.newPin, result);
                          }
                      });
            return;
        case 8:
        case 32:
            RunDialog(PinDialogKind::Plain, PinDialogMode::Unblock, result,
                      [&](const PinDialogAnswer& a) {
                          PKCS11UnblockPIN(slotId_, a.first, a.newPin, result);
                      });
            return;
        case 5:
            family = &CardoloLibrary::UnblockM4;
            break;
        case 9:
            family = &CardoloLibrary::UnblockSetec;
            break;
        case 10:
            family = &CardoloLibrary::UnblockStarcos;
            break;
        default:
            *result = kResultNotSupported;
            return;
    }
    RunDialog(PinDialogKind::Plain, PinDialogMode::Unblock, result, [&](const PinDialogAnswer& a) {
        *result = (env_.cardolo.*family)(slotId_, a.first.c_str(), a.newPin.c_str());
    });
}

void SmartCardCls::CardoloChangePIN(const SecretText& oldPin, const SecretText& newPin,
                                    std::int32_t* result) {
    *result = ChangePair(env_.cardolo, slotId_, Pair::Pin, oldPin, newPin);
}
void SmartCardCls::CardoloChangePUK(const SecretText& oldPuk, const SecretText& newPuk,
                                    std::int32_t* result) {
    *result = ChangePair(env_.cardolo, slotId_, Pair::Puk, oldPuk, newPuk);
}
void SmartCardCls::CardoloChangeDSPIN(const SecretText& oldPin, const SecretText& newPin,
                                      std::int32_t* result) {
    *result = ChangePair(env_.cardolo, slotId_, Pair::DsPin, oldPin, newPin);
}
void SmartCardCls::CardoloChangeDSPUK(const SecretText& oldPuk, const SecretText& newPuk,
                                      std::int32_t* result) {
    *result = ChangePair(env_.cardolo, slotId_, Pair::DsPuk, oldPuk, newPuk);
}

void SmartCardCls::CardoloUnblockPIN(const SecretText& puk, const SecretText& newPin,
                                     std::int32_t* result) {
    const Arg p = A(puk), n = A(newPin), none = A(Unused());
    *result =
        env_.cardolo.UnblockPin(slotId_, kNoSerial, p.text, p.length, n.text, n.length, none.text,
                                none.length, none.text, none.length, kNoKey, kSecureMessaging);
}
void SmartCardCls::CardoloUnblockDSPIN(const SecretText& puk, const SecretText& newPin,
                                       std::int32_t* result) {
    const Arg p = A(puk), n = A(newPin), none = A(Unused());
    *result =
        env_.cardolo.UnblockPin(slotId_, kNoSerial, none.text, none.length, none.text, none.length,
                                p.text, p.length, n.text, n.length, kNoKey, kSecureMessaging);
}

void SmartCardCls::WithSession(std::int32_t slot, const std::function<void(P11Session&)>& steps,
                               std::int32_t* result) {
    P11Session session;
    try {
        if (!p11_) {
            p11_ = Pkcs11Lib::Create();
        }
        session = P11Session::Open(p11_, slot);
        if (session.Logged()) {
            session.Logout();
        }
        steps(session);
        session.Logout();
        session.Close();
        *result = 0;
    } catch (const RuntimeError& e) {
        session.CleanUp();
        *result = e.number();
    }
}

void SmartCardCls::PKCS11ChangePIN(std::int32_t slot, const SecretText& oldPin,
                                   const SecretText& newPin, std::int32_t* result) {
    WithSession(
        slot,
        [&](P11Session& s) {
            s.Login(oldPin, false);
            s.SetPIN(oldPin, newPin);
        },
        result);
}

void SmartCardCls::PKCS11ChangePUK(std::int32_t slot, const SecretText& oldPuk,
                                   const SecretText& newPuk, std::int32_t* result) {
    WithSession(
        slot,
        [&](P11Session& s) {
            s.Login(oldPuk, true);
            s.SetPIN(oldPuk, newPuk);
        },
        result);
}

void SmartCardCls::PKCS11UnblockPIN(std::int32_t slot, const SecretText& puk,
                                    const SecretText& newPin, std::int32_t* result) {
    WithSession(
        slot,
        [&](P11Session& s) {
            s.Login(puk, true);
            s.InitPIN(newPin);
        },
        result);
}

// Initialising the token itself would erase every object on it and publish the new PIN as its
// label; a fresh token only lacks its user PIN, so the security officer sets that PIN instead.
void SmartCardCls::InitTokenPin(std::int32_t* result) {
    if (!TakesTokenInitialisation(type_)) {
        *result = kResultNotSupported;
        return;
    }
    RunDialog(PinDialogKind::Plain, PinDialogMode::Unblock, result, [&](const PinDialogAnswer& a) {
        PKCS11UnblockPIN(slotId_, a.first, a.newPin, result);
        if (*result == 0) {
            env_.dialogs->Notify(LoadMessage(1105), false);
        } else {
            env_.dialogs->Notify(LoadMessage(1103) + ": " + std::to_string(*result), true);
        }
    });
}

}  // namespace tesmira
