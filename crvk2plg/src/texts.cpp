// Message lookup from the plug-in's own table through FormatMessageA.
#include "texts.h"

#include "message_table.h"
#include "win/libloaderapi.h"
#include "win/winbase_messages.h"
#include "win/winnls.h"

// Generated from messages/crvk2plg.mc; not exported (the library exports its entry points only),
// so it is registered with this module's copy of the message lookup instead.
extern "C" const VANTOR_MESSAGE_TABLE* VantorGetMessageTable();

namespace crvk2plg {

namespace {

constexpr WORD kEnglishUs = 0x0409;
constexpr WORD kItalian = 0x0410;

__attribute__((constructor)) void registerTable() {
    VantorRegisterOwnMessageTable(&VantorGetMessageTable);
}

std::string format(HMODULE module, DWORD id, WORD language) {
    LPSTR buffer = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             module, id, language, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text;
    if (n != 0 && buffer != nullptr) {
        text.assign(buffer, n);
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    return text;
}

}  // namespace

WORD mapTextLanguage(WORD systemLanguage) {
    switch (systemLanguage) {
        case 0x0810:
            return kItalian;
        case 0x0C0A:
            return 0x040A;
        default:
            return systemLanguage;
    }
}

WORD textLanguage() {
    return mapTextLanguage(GetSystemDefaultLangID());
}

bool textsAreItalian() {
    return textLanguage() == kItalian;
}

std::string loadText(DWORD id) {
    HMODULE self = GetModuleHandleFromAddress(reinterpret_cast<const void*>(&registerTable));
    std::string text = format(self, id, textLanguage());
    if (text.empty()) {
        text = format(self, id, kEnglishUs);
    }
    return text;
}

}  // namespace crvk2plg
