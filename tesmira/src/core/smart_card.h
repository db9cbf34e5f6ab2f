// The card model: one card in one reader, identified through the card utility library, typed
// by the ATR table, with the PKCS#11 library that serves it and what its type offers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "card_type.h"
#include "cardolo/cardolo.h"
#include "certificates.h"
#include "pin_entry.h"
#include "pkcs11_libs.h"
#include "secret_text.h"

namespace tesmira {

class AtrTable;
class CardoloLibrary;
class PinDialogs;
struct PinDialogAnswer;
class P11Session;

// What every card model reads: the card library, the ATR table and the loaded PKCS#11
// libraries. Owned by the window; outlives every card.
struct CardEnvironment {
    CardoloLibrary& cardolo;
    const AtrTable& atrTable;
    Pkcs11Libs& pkcs11Libs;
    // The entry dialogs and message boxes of the PIN workflows; without them every workflow
    // that needs the user answers "cancelled".
    PinDialogs* dialogs = nullptr;
};

class SmartCardCls final {
  public:
    explicit SmartCardCls(CardEnvironment& env) : env_(env) {}
    // Disconnects the card handle when one is held.
    ~SmartCardCls();
    SmartCardCls(const SmartCardCls&) = delete;
    SmartCardCls& operator=(const SmartCardCls&) = delete;

    // PIN/PUK workflows of the PIN/PUK panel.
    void UnblockPIN(std::int32_t* result);
    void ChangePUK(std::int32_t* result);
    void ChangePIN(std::int32_t* result);

    bool CanReadDetailedInfos() const { return caps_.readDetailedInfos; }
    bool CanReadContents() const { return caps_.readContents; }
    bool CanUnblockPIN() const { return caps_.unblockPin; }
    bool CanChangePUK() const { return caps_.changePuk; }
    bool CanChangePIN() const { return caps_.changePin; }
    const std::string& ShortInfos() const { return shortInfos_; }

    // True exactly when the card library still reaches the connected card. Raises a
    // RuntimeError when the card library cannot be bound.
    bool Valid();

    std::int32_t smartCardType() const { return type_; }
    const std::string& SlotName() const { return slotName_; }
    std::int32_t slotId() const { return slotId_; }

    // True when reader slotId holds a card whose ATR can be read.
    bool SmartcardPresent();

    // Functions of the other-functions panel.
    // The certificates on the token, read once per card object (errors leave a partial or
    // empty list) and read again after a successful import.
    tesmira::Certificates& Certificates();
    // Logs in as user with p11Pin and writes the PKCS#12 file's key and certificate under
    // ckaId and ckaLabel: 0, or the number of the error raised by any step, after which the
    // session is logged out and closed as far as it still can be.
    void ImportP12(const std::string& ckaId, const std::string& ckaLabel, const SecretText& p11Pin,
                   const std::string& p12File, const SecretText& p12Pass, std::int32_t* result);

    // Identifies the card in reader slot (1-based): ATR, file-system type, card type, reader
    // name, connection, PKCS#11 library and token. 0 when the card is usable; otherwise the
    // card library's code, 0x804000E1 for a token the library does not report valid, or the
    // number of the error raised while looking up the library or the token. Errors of the card
    // library's binding itself are raised to the caller.
    void Init(std::int32_t slot, std::int32_t* result);

    // Shows the short description, the slot and the token's serial, manufacturer, model and
    // label in an information box: 0, 0x80400030 when the library reports no token information
    // (nothing is shown), or the number of the error raised.
    void ShowDetailedInfos(std::int32_t* result);
    // The text ShowDetailedInfos shows; RuntimeError as above, 0x80400030 included.
    std::string DetailedInfosText();

    // The back-end operations behind the PIN/PUK workflows. The card library's answer (0 or
    // its negative code) is the result unchanged.
    void CardoloChangePIN(const SecretText& oldPin, const SecretText& newPin, std::int32_t* result);
    void CardoloChangePUK(const SecretText& oldPuk, const SecretText& newPuk, std::int32_t* result);
    void CardoloChangeDSPIN(const SecretText& oldPin, const SecretText& newPin,
                            std::int32_t* result);
    void CardoloChangeDSPUK(const SecretText& oldPuk, const SecretText& newPuk,
                            std::int32_t* result);
    void CardoloUnblockPIN(const SecretText& puk, const SecretText& newPin, std::int32_t* result);
    void CardoloUnblockDSPIN(const SecretText& puk, const SecretText& newPin, std::int32_t* result);
    // Through the automation library on PKCS#11 slot: 0, or the number of the error raised by
    // any step, after which the session is logged out and closed as far as it still can be.
    void PKCS11ChangePIN(std::int32_t slot, const SecretText& oldPin, const SecretText& newPin,
                         std::int32_t* result);
    void PKCS11UnblockPIN(std::int32_t slot, const SecretText& puk, const SecretText& newPin,
                          std::int32_t* result);
    void PKCS11ChangePUK(std::int32_t slot, const SecretText& oldPuk, const SecretText& newPuk,
                         std::int32_t* result);
    // True for a token of type 2, 3, 8 or 32 whose user PIN is not initialised; any error is
    // false.
    bool TokenNeedsInitialization();
    // Sets the user PIN of a fresh token (types 2, 3, 8 and 32): the unblock dialog's first
    // field is the security officer's PIN, its new PIN the user PIN. The token's objects and
    // label are left as they are. Reports success or failure itself.
    void InitTokenPin(std::int32_t* result);

    const Pkcs11Lib& P11() const { return p11_; }

  private:
    void disconnect();
    // Shows a dialog and, when the user confirmed, hands its values to the back end.
    void RunDialog(PinDialogKind kind, PinDialogMode mode, std::int32_t* result,
                   const std::function<void(const PinDialogAnswer&)>& backEnd);
    // The PKCS#11 sequence shared by the three session operations: a library object when the
    // card has none, a fresh session, and the clean-up after an error.
    void WithSession(std::int32_t slot, const std::function<void(P11Session&)>& steps,
                     std::int32_t* result);

    CardEnvironment& env_;
    ReaderHandle* handle_ = nullptr;
    Pkcs11Lib p11_;
    std::int32_t slotId_ = 0;
    std::string slotName_;
    std::int32_t type_ = 0;
    std::string shortInfos_;
    Capabilities caps_;
    std::unique_ptr<tesmira::Certificates> certs_;
    bool certsLoaded_ = false;
};

}  // namespace tesmira
