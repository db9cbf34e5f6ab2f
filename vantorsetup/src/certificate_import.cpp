// The import: Card2WinStore of the card provider, loaded by name for each import.
#include "certificate_import.h"

#include "win/libloaderapi.h"

namespace vantorsetup {

namespace {

// rundll-style entry point: window, instance, command line, show state.
using Card2WinStoreFn = void (*)(HWND, HINSTANCE, LPSTR, int);

}  // namespace

bool importCertificates(HWND owner) {
    HMODULE provider = LoadLibraryA("tvxcsp32.dll");
    if (provider == nullptr) {
        return false;
    }
    auto card2WinStore = ProcAs<Card2WinStoreFn>(GetProcAddress(provider, "Card2WinStore"));
    if (card2WinStore != nullptr) {
        char emptyCommandLine[] = "";
        card2WinStore(owner, nullptr, emptyCommandLine, 0);
    }
    FreeLibrary(provider);
    return card2WinStore != nullptr;
}

}  // namespace vantorsetup
