// The provider's message table, looked up in the system default language with English as the
// fall-back.
#include "provider_messages.h"

#include "win/libloaderapi.h"
#include "win/winbase_messages.h"

namespace tvx {

LANGID providerLanguage(LANGID system) {
    switch (system) {
        case 0x0810:  // Italian (Switzerland)
            return 0x0410;
        case 0x0C04:  // Chinese (Hong Kong)
        case 0x1404:  // Chinese (Macao)
            return 0x0404;
        case 0x0C0A:  // Spanish, modern sort
            return 0x040A;
        case 0x1004:  // Chinese (Singapore)
            return 0x0804;
        default:
            return system;
    }
}

std::string providerMessage(DWORD id) {
    // The table lives in this module, whichever program loaded it.
    HMODULE self = GetModuleHandleFromAddress(reinterpret_cast<const void*>(&providerMessage));
    for (LANGID language : {providerLanguage(GetSystemDefaultLangID()), LANGID(0x0409)}) {
        LPSTR text = nullptr;
        const DWORD n =
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER, self, id,
                           language, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        if (n != 0 && text != nullptr) {
            std::string result(text, n);
            LocalFree(text);
            return result;
        }
        if (text != nullptr) {
            LocalFree(text);
        }
    }
    return {};
}

}  // namespace tvx
