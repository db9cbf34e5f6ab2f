// The provider's message table, looked up in the system default language with English as the
// fall-back.
#include "provider_messages.h"

#include "vantor/message_language.h"
#include "win/libloaderapi.h"
#include "win/winbase_messages.h"

namespace tvx {

std::string providerMessage(DWORD id) {
    // The table lives in this module, whichever program loaded it.
    HMODULE self = GetModuleHandleFromAddress(reinterpret_cast<const void*>(&providerMessage));
    for (LANGID language :
         {vantor::messageTableLanguage(GetSystemDefaultLangID()), LANGID(0x0409)}) {
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
