// msglist: prints a message catalogue in one language so that translators can review it.
//
//   msglist --list-messages LANG [--module PATH] [--raw]
//   msglist --languages [--module PATH]
//
// Without --module the catalogue is the manager's (this program carries it); with --module, the
// table of that library (a language library, which exports its table). LANG is a language
// identifier (1040, 0x0410), used as given, or a POSIX locale name (it, es_ES, zh_HK), which
// goes to the table the manager would read for it (es_ES -> 1034). Each line is the message
// id and its text as the user sees it (--raw: as stored), with line breaks and tabs shown as
// \r \n \t; a message the language lacks is shown as "<missing>" and makes the exit status 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "message_table.h"
#include "messages.h"
#include "vantor/cli.h"
#include "win/libloaderapi.h"
#include "win/winbase_messages.h"
#include "win/winnls.h"

namespace {

const char kHelp[] =
    "usage: msglist --list-messages LANG [--module PATH] [--raw]\n"
    "       msglist --languages [--module PATH]\n"
    "Prints a message catalogue in one language, for translators to review.\n"
    "  --list-messages LANG  every message id and its text in LANG; LANG is a language\n"
    "                        identifier (1040, 0x0410) or a locale name (it, es_ES, zh_HK)\n"
    "  --languages           the languages of the catalogue and their message counts\n"
    "  --module PATH         the catalogue of that library instead of the manager's\n"
    "  --raw                 the texts as stored (with %0), not as formatted\n"
    "  --help, --version\n"
    "Exit status: 0 complete, 1 messages missing in LANG or the module cannot be read,\n"
    "2 a bad command line.\n";

int usageError(const std::string& what) {
    return vantor::cli::UsageError("msglist", what, 2);
}

bool parseLanguage(const char* text, DWORD* language) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 0);
    if (end != text && *end == '\0') {
        if (value > 0xFFFF) {
            return false;
        }
        *language = static_cast<DWORD>(value);
        return true;
    }
    LANGID id = VantorLangIdFromPosixLocale(text);
    if (id == LOCALE_CUSTOM_UNSPECIFIED) {
        return false;
    }
    // A name means the table its users read: "es" (Spain, modern sort) is the Spanish table,
    // "zh_HK" the Traditional Chinese one, as the manager maps them.
    *language = tesmira::MessageLanguageFor(id);
    return true;
}

std::string visible(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Frees a library given with --module on every path.
struct Module {
    HMODULE handle = nullptr;
    ~Module() {
        if (handle != nullptr) {
            FreeLibrary(handle);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "msglist", kHelp)) {
        return 0;
    }
    const char* languageText = nullptr;
    const char* modulePath = nullptr;
    bool listLanguages = false;
    bool raw = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if ((arg == "--list-messages" || arg == "--module") && i + 1 >= argc) {
            return usageError(std::string(arg) + " needs a value");
        }
        if (arg == "--list-messages") {
            languageText = argv[++i];
        } else if (arg == "--module") {
            modulePath = argv[++i];
        } else if (arg == "--languages") {
            listLanguages = true;
        } else if (arg == "--raw") {
            raw = true;
        } else {
            return usageError("unknown argument '" + std::string(arg) + "'");
        }
    }
    if (listLanguages == (languageText != nullptr)) {
        return usageError("give one of --list-messages LANG and --languages");
    }

    Module module;
    if (modulePath != nullptr) {
        module.handle = LoadLibraryA(modulePath);
        if (module.handle == nullptr) {
            std::fprintf(stderr,
                         "msglist: cannot load %s: give the path of a library built with a "
                         "message table\n",
                         modulePath);
            return 1;
        }
    }
    const VANTOR_MESSAGE_TABLE* table = VantorFindMessageTable(module.handle);
    if (table == nullptr) {
        std::fprintf(stderr,
                     "msglist: %s carries no message table it exports (only a language library "
                     "such as tesmira.exe.lang.so does)\n",
                     modulePath ? modulePath : "this program");
        return 1;
    }

    std::map<WORD, unsigned> languages;
    std::set<DWORD> ids;
    for (DWORD i = 0; i < table->messageCount; ++i) {
        ++languages[table->messages[i].language];
        ids.insert(table->messages[i].id);
    }
    if (listLanguages) {
        for (const auto& [language, count] : languages) {
            std::printf("%u\t0x%04X\t%u messages\n", language, language, count);
        }
        std::printf("%zu message ids\n", ids.size());
        return 0;
    }

    DWORD language = 0;
    if (!parseLanguage(languageText, &language)) {
        return usageError(std::string("unknown language '") + languageText +
                          "': give a language identifier (1040, 0x0410) or a locale name (it, "
                          "es_ES); --languages lists the catalogue's");
    }
    unsigned missing = 0;
    for (DWORD id : ids) {
        std::string text;
        bool found = false;
        if (raw) {
            for (DWORD i = 0; i < table->messageCount; ++i) {
                const VANTOR_MESSAGE_ENTRY& e = table->messages[i];
                if (e.id == id && e.language == language) {
                    text.assign(e.text, e.length);
                    found = true;
                }
            }
        } else {
            LPSTR buffer = nullptr;
            DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS |
                                         FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                     module.handle, id, language, reinterpret_cast<LPSTR>(&buffer),
                                     0, nullptr);
            // A message that formats to nothing (a bare "%0") is still there.
            found = buffer != nullptr;
            if (buffer != nullptr) {
                text.assign(buffer, n);
                LocalFree(buffer);
            }
        }
        if (found) {
            std::printf("%u\t%s\n", id, visible(text).c_str());
        } else {
            std::printf("%u\t<missing>\n", id);
            ++missing;
        }
    }
    std::fprintf(stderr, "%zu messages, %u missing in language %u (0x%04X)\n", ids.size(), missing,
                 language, language);
    return missing == 0 ? 0 : 1;
}
