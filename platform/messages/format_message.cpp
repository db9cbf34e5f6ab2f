// FormatMessageA: message lookup by module, id and language, and the escape and insert rules.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "message_table.h"
#include "win/errhandlingapi.h"
#include "win/winbase_messages.h"
#include "win/winerror.h"
#include "win/winnls.h"

namespace {

// Windows never produces more than 64K characters from one message; so neither do we, which
// also bounds what a run-away insert can cost.
constexpr size_t kMaxOutput = size_t{64} * 1024;

struct Failure {
    DWORD error;
};

const VANTOR_MESSAGE_ENTRY* findExact(const VANTOR_MESSAGE_TABLE& table, DWORD id, WORD language) {
    const VANTOR_MESSAGE_ENTRY* begin = table.messages;
    const VANTOR_MESSAGE_ENTRY* end = begin + table.messageCount;
    const VANTOR_MESSAGE_ENTRY* it = std::lower_bound(
        begin, end, std::make_pair(id, language),
        [](const VANTOR_MESSAGE_ENTRY& e, const std::pair<DWORD, WORD>& key) {
            return e.id < key.first || (e.id == key.first && e.language < key.second);
        });
    return (it != end && it->id == id && it->language == language) ? it : nullptr;
}

// Lowest-language entry of an id (entries are sorted by language within an id), or null when
// the id is not in the table at all.
const VANTOR_MESSAGE_ENTRY* findAnyLanguage(const VANTOR_MESSAGE_TABLE& table, DWORD id) {
    const VANTOR_MESSAGE_ENTRY* begin = table.messages;
    const VANTOR_MESSAGE_ENTRY* end = begin + table.messageCount;
    const VANTOR_MESSAGE_ENTRY* it = std::lower_bound(
        begin, end, id, [](const VANTOR_MESSAGE_ENTRY& e, DWORD v) { return e.id < v; });
    return (it != end && it->id == id) ? it : nullptr;
}

// The stored text of a message, or the Windows error for why there is none.
std::string_view lookup(const VANTOR_MESSAGE_TABLE* table, DWORD id, DWORD languageId,
                        DWORD* error) {
    if (table == nullptr) {
        *error = ERROR_RESOURCE_TYPE_NOT_FOUND;
        return {};
    }
    const VANTOR_MESSAGE_ENTRY* any = findAnyLanguage(*table, id);
    if (any == nullptr) {
        *error = ERROR_MR_MID_NOT_FOUND;
        return {};
    }
    const VANTOR_MESSAGE_ENTRY* found = nullptr;
    if (languageId != 0) {
        if (languageId <= 0xFFFF) {
            found = findExact(*table, id, static_cast<WORD>(languageId));
        }
    } else {
        // Language 0: neutral, the thread's language, the user's, the system's, English (United
        // States), and then any language the message exists in.
        const WORD order[] = {0, LANGIDFROMLCID(GetThreadLocale()), GetUserDefaultLangID(),
                              GetSystemDefaultLangID(), 0x0409};
        for (WORD language : order) {
            if ((found = findExact(*table, id, language)) != nullptr) {
                break;
            }
        }
        if (found == nullptr) {
            found = any;
        }
    }
    if (found == nullptr) {
        *error = ERROR_RESOURCE_LANG_NOT_FOUND;
        return {};
    }
    return {found->text, found->length};
}

// Formats one insert value with a printf conversion taken from the message ("s" by default).
// Only the conversions a message can carry safely are accepted: flags, width and precision
// digits, the length prefixes l, h, ll and I64, and one of s c d i u x X o; anything else (a '*'
// width that would consume another argument, %n, floating point) is refused.
std::optional<std::string> formatInsert(std::string_view spec, DWORD_PTR value) {
    std::string flagsAndWidth;
    size_t i = 0;
    while (i < spec.size() && std::strchr("-+ #0123456789.", spec[i]) != nullptr) {
        flagsAndWidth += spec[i++];
    }
    if (flagsAndWidth.size() > 16) {
        return std::nullopt;
    }
    // A width or precision beyond the longest message is refused before printf is asked to
    // pad that far (it would count through every character even without a buffer).
    unsigned long number = 0;
    for (char c : flagsAndWidth) {
        number = (c >= '0' && c <= '9') ? number * 10 + static_cast<unsigned long>(c - '0') : 0;
        if (number > kMaxOutput) {
            return std::nullopt;
        }
    }
    bool wide64 = false;
    std::string_view rest = spec.substr(i);
    if (rest.starts_with("I64") || rest.starts_with("ll")) {
        wide64 = true;
        rest.remove_prefix(rest[0] == 'I' ? 3 : 2);
    } else if (rest.starts_with("l") || rest.starts_with("h")) {
        rest.remove_prefix(1);
    }
    if (rest.size() != 1) {
        return std::nullopt;
    }
    const char conversion = rest[0];
    const std::string fmt =
        "%" + flagsAndWidth + (std::strchr("diuxXo", conversion) ? "ll" : "") + conversion;
    // printf into a string of the length it asks for; a width that would make the insert longer
    // than any message may be is refused before anything that size is allocated.
    auto print = [&fmt](auto arg) -> std::optional<std::string> {
        int n = std::snprintf(nullptr, 0, fmt.c_str(), arg);
        if (n < 0 || static_cast<size_t>(n) > kMaxOutput) {
            return std::nullopt;
        }
        std::string out(static_cast<size_t>(n) + 1, '\0');
        std::snprintf(out.data(), out.size(), fmt.c_str(), arg);
        out.resize(static_cast<size_t>(n));
        return out;
    };
    switch (conversion) {
        case 's': {
            const char* s = reinterpret_cast<const char*>(value);
            return print(s != nullptr ? s : "(null)");
        }
        case 'c':
            return print(static_cast<int>(value & 0xFF));
        case 'd':
        case 'i':
            return print(wide64 ? static_cast<long long>(value)
                                : static_cast<long long>(static_cast<int32_t>(value)));
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            return print(wide64 ? static_cast<unsigned long long>(value)
                                : static_cast<unsigned long long>(static_cast<uint32_t>(value)));
        default:
            return std::nullopt;
    }
}

// Applies the escapes and inserts of a stored text. Throws Failure for a text that cannot be
// formatted with what the caller gave.
std::string expand(std::string_view text, DWORD flags, const DWORD_PTR* args) {
    const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    const bool oneLine = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
    std::string out;
    size_t i = 0;
    auto emit = [&](std::string_view piece) {
        if (out.size() + piece.size() > kMaxOutput) {
            throw Failure{ERROR_INSUFFICIENT_BUFFER};
        }
        out.append(piece);
    };
    while (i < text.size()) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            // A line break of the text itself (the compiler stores CR LF); hard breaks are %n.
            size_t len = (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            if (!oneLine) {
                emit(text.substr(i, len));
            } else if (i + len < text.size()) {
                emit(" ");
            }
            i += len;
            continue;
        }
        if (c != '%') {
            size_t next = text.find_first_of("%\r\n", i);
            if (next == std::string_view::npos) {
                next = text.size();
            }
            emit(text.substr(i, next - i));
            i = next;
            continue;
        }
        if (i + 1 >= text.size()) {
            break;  // a lone '%' at the very end stands for nothing
        }
        char e = text[i + 1];
        if (e == '0') {
            return out;  // end of message, without the line break that follows it
        }
        if (e >= '1' && e <= '9') {
            size_t start = i;
            size_t j = i + 2;
            unsigned number = static_cast<unsigned>(e - '0');
            if (j < text.size() && text[j] >= '0' && text[j] <= '9') {
                number = number * 10 + static_cast<unsigned>(text[j] - '0');
                ++j;
            }
            std::string_view spec = "s";
            if (j < text.size() && text[j] == '!') {
                size_t close = text.find('!', j + 1);
                if (close == std::string_view::npos) {
                    throw Failure{ERROR_INVALID_PARAMETER};
                }
                spec = text.substr(j + 1, close - j - 1);
                j = close + 1;
            }
            if (ignoreInserts) {
                emit(text.substr(start, j - start));
            } else {
                if (args == nullptr) {
                    throw Failure{ERROR_INVALID_PARAMETER};
                }
                std::optional<std::string> value = formatInsert(spec, args[number - 1]);
                if (!value) {
                    throw Failure{ERROR_INVALID_PARAMETER};
                }
                emit(*value);
            }
            i = j;
            continue;
        }
        switch (e) {
            case 'n':
                emit("\r\n");
                break;
            case 'r':
                emit("\r");
                break;
            case 't':
                emit("\t");
                break;
            default:
                // %% %. %! and %space give the character itself, as does any other escape.
                emit(std::string_view(&text[i + 1], 1));
                break;
        }
        i += 2;
    }
    return out;
}

}  // namespace

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments) {
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Arguments are accepted only as an array of DWORD_PTR; a va_list cannot be walked safely
    // in the insert order a message chooses.
    const DWORD_PTR* args = nullptr;
    if (arguments != nullptr && !(flags & FORMAT_MESSAGE_IGNORE_INSERTS)) {
        if (!(flags & FORMAT_MESSAGE_ARGUMENT_ARRAY)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        args = reinterpret_cast<const DWORD_PTR*>(arguments);
    }

    std::string_view text;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (source == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text = static_cast<const char*>(source);
    } else {
        DWORD error = ERROR_MR_MID_NOT_FOUND;
        if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
            HMODULE module = static_cast<HMODULE>(const_cast<void*>(source));
            text = lookup(VantorFindMessageTable(module), messageId, languageId, &error);
        }
        // FORMAT_MESSAGE_FROM_SYSTEM searches a system table, which has no entries here.
        if (text.data() == nullptr) {
            if (!(flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM))) {
                error = ERROR_INVALID_PARAMETER;
            } else if (!(flags & FORMAT_MESSAGE_FROM_HMODULE)) {
                error = ERROR_MR_MID_NOT_FOUND;
            }
            SetLastError(error);
            return 0;
        }
    }

    std::string result;
    try {
        result = expand(text, flags, args);
    } catch (const Failure& f) {
        SetLastError(f.error);
        return 0;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }

    char* target = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t bytes = std::max<size_t>(result.size() + 1, size);
        target = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
        if (target == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<LPSTR*>(buffer) = target;
    } else if (result.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(target, result.data(), result.size());
    target[result.size()] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(result.size());
}
