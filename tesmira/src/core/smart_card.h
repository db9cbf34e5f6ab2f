// The card model: one card in one reader, identified through the card utility library, typed
// by the ATR table, with the PKCS#11 library that serves it and what its type offers.
#pragma once

#include <cstdint>
#include <string>

#include "card_type.h"
#include "cardolo/cardolo.h"
#include "pkcs11_libs.h"

namespace tesmira {

class AtrTable;
class CardoloLibrary;

// What every card model reads: the card library, the ATR table and the loaded PKCS#11
// libraries. Owned by the window; outlives every card.
struct CardEnvironment {
    CardoloLibrary& cardolo;
    const AtrTable& atrTable;
    Pkcs11Libs& pkcs11Libs;
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
    void ImportP12(const std::string& ckaId, const std::string& ckaLabel, const std::string& p11Pin,
                   const std::string& p12File, const std::string& p12Pass, std::int32_t* result);

    // Identifies the card in reader slot (1-based): ATR, file-system type, card type, reader
    // name, connection, PKCS#11 library and token. 0 when the card is usable; otherwise the
    // card library's code, 0x804000E1 for a token the library does not report valid, or the
    // number of the error raised while looking up the library or the token. Errors of the card
    // library's binding itself are raised to the caller.
    void Init(std::int32_t slot, std::int32_t* result);

    void ShowDetailedInfos(std::int32_t* result);

    // The back-end operations behind the PIN/PUK workflows.
    void CardoloChangePIN(std::int32_t* result);
    void CardoloChangePUK(std::int32_t* result);
    void CardoloChangeDSPIN(std::int32_t* result);
    void CardoloChangeDSPUK(std::int32_t* result);
    void CardoloUnblockPIN(std::int32_t* result);
    void CardoloUnblockDSPIN(std::int32_t* result);
    void PKCS11ChangePIN(std::int32_t* result);
    void PKCS11UnblockPIN(std::int32_t* result);
    void PKCS11ChangePUK(std::int32_t* result);
    // True for a token of type 2, 3, 8 or 32 whose user PIN is not initialised; any error is
    // false.
    bool TokenNeedsInitialization();
    void InitTokenPin(std::int32_t* result);

    const Pkcs11Lib& P11() const { return p11_; }

  private:
    void disconnect();

    CardEnvironment& env_;
    ReaderHandle* handle_ = nullptr;
    Pkcs11Lib p11_;
    std::int32_t slotId_ = 0;
    std::string slotName_;
    std::int32_t type_ = 0;
    std::string shortInfos_;
    Capabilities caps_;
};

}  // namespace tesmira
