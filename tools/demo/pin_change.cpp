// vantor-demo-pin: changes the card-holder PIN of the CNS card in one reader through the card
// utility library's exports, bound by name as the manager binds them, then asks the card which
// value it now takes: the old PIN must be refused and the new one accepted.
//
//   vantor-demo-pin READER_INDEX OLD_PIN NEW_PIN
//
// Prints one line; exit 0 when the card took the change, 1 when it did not, 2 on a usage or
// library error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cardolo/cardolo.h"
#include "win/windows.h"

namespace {

const unsigned char* Bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

int32_t Length(const char* text) {
    return static_cast<int32_t>(std::strlen(text));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::atoi(argv[1]) < 1) {
        std::fprintf(stderr, "usage: vantor-demo-pin READER_INDEX OLD_PIN NEW_PIN\n");
        return 2;
    }
    const int32_t reader = std::atoi(argv[1]);
    const char* oldPin = argv[2];
    const char* newPin = argv[3];

    HMODULE cardolo = LoadLibraryA("cardolo.dll");
    if (cardolo == nullptr) {
        std::fprintf(stderr, "vantor-demo-pin: cannot load cardolo.dll (cardolo.so)\n");
        return 2;
    }
    auto getSerial = ProcAs<CNS_GetSerial_t>(GetProcAddress(cardolo, "CNS_GetSerial"));
    auto change = ProcAs<CNS_DS_ChangePinPuk_t>(GetProcAddress(cardolo, "CNS_DS_ChangePinPuk"));
    auto verify = ProcAs<CNS_DS_VerifyPinPuk_t>(GetProcAddress(cardolo, "CNS_DS_VerifyPinPuk"));
    if (!getSerial || !change || !verify) {
        std::fprintf(stderr, "vantor-demo-pin: cardolo.so lacks an export\n");
        FreeLibrary(cardolo);
        return 2;
    }

    // The serial read first is handed to every call, so all of them act on this one card.
    char serial[17] = {};
    int32_t rc = getSerial(reader, serial);
    if (rc != 0) {
        std::printf("the card's serial is not readable (result %d)\n", rc);
        FreeLibrary(cardolo);
        return 1;
    }
    const auto* card = Bytes(serial);
    rc = change(reader, card, Bytes(oldPin), Length(oldPin), Bytes(newPin), Length(newPin), nullptr,
                0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
    if (rc != 0) {
        std::printf("card %.16s refused the change (CNS_DS_ChangePinPuk result %d)\n", serial, rc);
        FreeLibrary(cardolo);
        return 1;
    }
    const int32_t oldResult = verify(reader, card, Bytes(oldPin), Length(oldPin), nullptr, 0,
                                     nullptr, 0, nullptr, 0, nullptr, 0);
    const int32_t newResult = verify(reader, card, Bytes(newPin), Length(newPin), nullptr, 0,
                                     nullptr, 0, nullptr, 0, nullptr, 0);
    FreeLibrary(cardolo);
    // -22: the card answered VERIFY of the card-holder PIN with a wrong-value status.
    const bool ok = oldResult == -22 && newResult == 0;
    std::printf(
        "card %.16s: CNS_DS_ChangePinPuk 0; VERIFY now %s the old PIN (%d) and %s the new "
        "one (%d)\n",
        serial, oldResult == -22 ? "refuses" : "does NOT refuse", oldResult,
        newResult == 0 ? "accepts" : "does NOT accept", newResult);
    return ok ? 0 : 1;
}
