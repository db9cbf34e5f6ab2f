// vantor-demo: lists the readers and identifies each card (ATR, file-system type, serial)
// through the card utility library, binding its exports by name as the manager program does.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cardolo/cardolo.h"
#include "win/windows.h"

namespace {

const char* fsTypeName(int32_t type) {
    switch (type) {
        case 0:
            return "no known file system";
        case 1:
            return "CNS file system";
        case 2:
            return "CNS with digital-signature application";
        case 3:
            return "digital-signature application only";
        case 4:
            return "2FFF card";
        case 5:
            return "DF 1111 card";
        case 32:
            return "card with DF 1112";
        default:
            return "unknown";
    }
}

// The serial as text: printable characters as they are, anything else in hexadecimal.
std::string printableSerial(const char* serial) {
    std::string out;
    bool printable = true;
    for (int i = 0; i < 16; ++i) {
        printable = printable && serial[i] >= 0x20 && serial[i] < 0x7F;
    }
    if (printable) {
        return std::string(serial, 16);
    }
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(hex, sizeof(hex), "%02x", static_cast<unsigned char>(serial[i]));
        out += hex;
    }
    return out;
}

}  // namespace

int main() {
    HMODULE cardolo = LoadLibraryA("cardolo.dll");
    if (cardolo == nullptr) {
        std::fprintf(stderr, "vantor-demo: cannot load cardolo.dll (cardolo.so)\n");
        return 2;
    }
    auto getCount = ProcAs<PCSC_GetReadersCount_t>(GetProcAddress(cardolo, "PCSC_GetReadersCount"));
    auto getName = ProcAs<PCSC_GetReaderName_t>(GetProcAddress(cardolo, "PCSC_GetReaderName"));
    auto getAtr = ProcAs<PCSC_GetATR_t>(GetProcAddress(cardolo, "PCSC_GetATR"));
    auto getFsType = ProcAs<PCSC_GetFSType_t>(GetProcAddress(cardolo, "PCSC_GetFSType"));
    auto getSerial = ProcAs<CNS_GetSerial_t>(GetProcAddress(cardolo, "CNS_GetSerial"));
    if (!getCount || !getName || !getAtr || !getFsType || !getSerial) {
        std::fprintf(stderr, "vantor-demo: cardolo.so lacks an export\n");
        FreeLibrary(cardolo);
        return 2;
    }

    int32_t count = 0;
    int32_t rc = getCount(&count);
    if (rc != 0) {
        std::printf("No readers (result %d). Is pcscd running?\n", rc);
        FreeLibrary(cardolo);
        return 1;
    }
    std::printf("%d reader(s)\n", count);
    int cards = 0;
    for (int32_t index = 1; index <= count; ++index) {
        int32_t length = 0;
        getName(index, nullptr, &length);
        std::vector<char> name(static_cast<size_t>(length) + 1, '\0');
        getName(index, name.data(), &length);
        std::printf("[%d] %s\n", index, name.data());

        char atr[2 * 36 + 1] = {};
        uint32_t atrLength = 2 * 36;
        rc = getAtr(index, atr, &atrLength);
        if (rc != 0) {
            std::printf("    no card\n");
            continue;
        }
        ++cards;
        std::printf("    ATR              %.*s\n", static_cast<int>(atrLength), atr);
        int32_t type = 0;
        rc = getFsType(index, &type);
        std::printf("    file system      %d (%s)\n", type, fsTypeName(type));
        char serial[17] = {};
        rc = getSerial(index, serial);
        if (rc == 0) {
            std::printf("    serial           %s\n", printableSerial(serial).c_str());
        } else {
            std::printf("    serial           not readable (result %d)\n", rc);
        }
    }
    FreeLibrary(cardolo);
    return cards > 0 ? 0 : 1;
}
