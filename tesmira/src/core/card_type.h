// Card typing: the registry type of an ATR, the card type from registry and file-system type,
// the display name of each type and what each type offers.
#pragma once

#include <cstdint>
#include <string>

namespace tesmira {

class AtrTable;
class CardoloLibrary;

// The PKCS#11 library looked up for a card whose ATR the table does not name.
inline constexpr const char* kDefaultPkcs11Lib = "qrpkisc.dll";

// Card type from the registry type R of its ATR and the file-system type F of its probe.
std::int32_t DecideCardType(std::int32_t registryType, std::int32_t fsType);

// "Vantor CNS", ... ; "Vantor Kryptelle" for 0 and every type without a name of its own.
std::string CardTypeName(std::int32_t cardType);

struct Capabilities {
    bool changePin = false;
    bool changePuk = false;
    bool unblockPin = false;
    bool readContents = false;
    bool readDetailedInfos = false;
    bool operator==(const Capabilities&) const = default;
};
Capabilities CapabilitiesFor(std::int32_t cardType);

// The CardType of the first table entry, in table order, whose ATR and mask match the card's ATR
// by the card library's comparison; 0 when none does.
std::int32_t CardTypeForAtr(const AtrTable& table, CardoloLibrary& cardolo, const std::string& atr);
// The p11 of that entry, else the default library name.
std::string Pkcs11LibForAtr(const AtrTable& table, CardoloLibrary& cardolo, const std::string& atr);

}  // namespace tesmira
