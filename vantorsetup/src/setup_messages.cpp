// The setup program's message table, looked up in the system default language with English as
// the fall-back.
#include "setup_messages.h"

#include <cstdio>

#include "vantor/message_language.h"
#include "win/winbase_messages.h"

namespace vantorsetup {

std::string setupMessage(DWORD id) {
    // The table is compiled into the program (a null module).
    for (LANGID language :
         {vantor::messageTableLanguage(GetSystemDefaultLangID()), LANGID(0x0409)}) {
        LPSTR text = nullptr;
        const DWORD n =
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                           id, language, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        std::string result = n != 0 && text != nullptr ? std::string(text, n) : std::string();
        if (text != nullptr) {
            LocalFree(text);
        }
        if (!result.empty()) {
            return result;
        }
    }
    return {};
}

std::string setupFailedMessage(DWORD error) {
    // The formatted text holds "%08X" where the code goes. It is replaced as text rather than
    // used as a printf format, so a table text can never consume arguments that are not there.
    std::string text = setupMessage(MSG_SETUP_FAILED);
    char code[9];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(error));
    const std::string placeholder = "%08X";
    if (const auto at = text.find(placeholder); at != std::string::npos) {
        text.replace(at, placeholder.size(), code);
    }
    return text;
}

}  // namespace vantorsetup
