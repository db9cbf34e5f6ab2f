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
    // The provider keeps process-wide state (its PKCS#11 module, the Qt objects of its dialogs)
    // that is not made to be unmapped under a running application: the first import takes one
    // reference of its own for the life of the process, so the FreeLibrary after each import
    // drops only that import's reference.
    static const HMODULE kept = LoadLibraryA("tvxcsp32.dll");
    static_cast<void>(kept);
    auto card2WinStore = ProcAs<Card2WinStoreFn>(GetProcAddress(provider, "Card2WinStore"));
    if (card2WinStore != nullptr) {
        char emptyCommandLine[] = "";
        card2WinStore(owner, nullptr, emptyCommandLine, 0);
    }
    FreeLibrary(provider);
    return card2WinStore != nullptr;
}

}  // namespace vantorsetup
