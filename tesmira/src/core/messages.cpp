// LoadMessage: the manager's texts from its own message table and the optional language library.
#include "messages.h"

#include <array>

#include "win/libloaderapi.h"
#include "win/winbase_messages.h"
#include "win/winuser_strings.h"

namespace tesmira {

namespace {

// The manager reads messages into a buffer of this many characters; longer texts do not exist.
constexpr DWORD kBufferChars = 4096;

// One formatting attempt: the characters produced, 0 when the message is not there. Inserts are
// left as written, so a stray "%1" in a translation shows as text instead of failing the lookup.
std::string formatFrom(HMODULE module, long id, DWORD language) {
    std::array<char, kBufferChars> buffer{};
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                       static_cast<DWORD>(id), language, buffer.data(), kBufferChars, nullptr);
    return std::string(buffer.data(), n);
}

// Frees the language library on every path.
struct LibraryHandle {
    HMODULE module;
    ~LibraryHandle() {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
};

}  // namespace

DWORD MessageLanguageFor(LCID threadLocale) {
    switch (threadLocale) {
        case 3082:  // Spanish, modern sort: the Spanish table is the traditional-sort 1034
            return 1034;
        case 3076:  // Chinese, Hong Kong
        case 5124:  // Chinese, Macau
            return 1028;
        case 4100:  // Chinese, Singapore
            return 2052;
        default:
            return threadLocale;
    }
}

std::string LoadMessage(long id) {
    // Message numbers are 32-bit: a larger id must not wrap onto another message's number.
    if (id < 0 || static_cast<unsigned long>(id) > 0xFFFFFFFFul) {
        return {};
    }
    if (id < 1000) {
        std::array<char, kBufferChars> buffer{};
        int n = LoadStringA(nullptr, static_cast<UINT>(id), buffer.data(), kBufferChars);
        return std::string(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
    }
    const DWORD language = MessageLanguageFor(GetThreadLocale());
    std::string text = formatFrom(nullptr, id, language);
    if (text.empty()) {
        text = formatFrom(nullptr, id, 0);
    }
    if (text.empty()) {
        LibraryHandle library{LoadLibraryA(kLanguageLibrary)};
        if (library.module != nullptr) {
            text = formatFrom(library.module, id, language);
            if (text.empty()) {
                text = formatFrom(library.module, id, 0);
            }
        }
    }
    return text;
}

}  // namespace tesmira
