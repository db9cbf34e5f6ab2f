// Card typing rules and the per-type names and capabilities.
#include "card_type.h"

#include "atr_table.h"
#include "cardolo_library.h"

namespace tesmira {

std::int32_t DecideCardType(std::int32_t registryType, std::int32_t fsType) {
    switch (registryType) {
        case 1:
        case 3:
            switch (fsType) {
                case 1:
                case 2:
                case 3:
                case 5:
                case 32:
                    return fsType;
                case 4:
                    return 8;
                default:
                    return 0;
            }
        case 2:
            return fsType == 5 ? 5 : 0;
        case 4:
            return fsType == 4 ? 8 : fsType == 5 ? 5 : 0;
        case 128:
            return fsType == 5 ? 9 : 0;
        case 129:
            return fsType == 5 ? 10 : 0;
        default:
            return 0;
    }
}

std::string CardTypeName(std::int32_t cardType) {
    switch (cardType) {
        case 1:
            return "Vantor CNS";
        case 2:
            return "Vantor CNS/Kryptelle EAL4+";
        case 3:
            return "Corvo34v2 Kryptelle EAL4+";
        case 5:
            return "Vantor Kryptelle-32";
        case 8:
            return "Vantor Kryptelle (FullP11-FFS)";
        case 9:
            return "Vantor Kryptelle-16";
        case 10:
            return "Vantor Kryptelle E4H";
        case 32:
            return "Vantor Kryptelle (Corvakey2)";
        default:
            return "Vantor Kryptelle";
    }
}

Capabilities CapabilitiesFor(std::int32_t cardType) {
    switch (cardType) {
        case 1:
        case 2:
        case 3:
        case 8:
        case 32:
            return {true, true, true, true, true};
        case 5:
        case 10:
            return {true, false, true, true, true};
        default:
            return {true, false, false, true, true};
    }
}

namespace {

const atrItem* FirstMatch(const AtrTable& table, CardoloLibrary& cardolo, const std::string& atr) {
    for (const atrItem& item : table.items()) {
        if (cardolo.AtrCmp(atr.c_str(), item.atr.c_str(), item.atrMask.c_str()) == 0) {
            return &item;
        }
    }
    return nullptr;
}

}  // namespace

std::int32_t CardTypeForAtr(const AtrTable& table, CardoloLibrary& cardolo,
                            const std::string& atr) {
    const atrItem* item = FirstMatch(table, cardolo, atr);
    return item != nullptr ? item->CardType : 0;
}

std::string Pkcs11LibForAtr(const AtrTable& table, CardoloLibrary& cardolo,
                            const std::string& atr) {
    const atrItem* item = FirstMatch(table, cardolo, atr);
    return item != nullptr ? item->p11 : kDefaultPkcs11Lib;
}

}  // namespace tesmira
