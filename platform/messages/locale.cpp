// Windows language identifiers from the POSIX locale: the user, system and thread defaults.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "win/errhandlingapi.h"
#include "win/winerror.h"
#include "win/winnls.h"

namespace {

// One POSIX language/territory pair and its Windows identifier. A row with no territory is the
// language's default, used for the bare language and for territories not listed.
struct LocaleRow {
    const char* language;
    const char* territory;
    LANGID id;
};

constexpr LocaleRow kLocales[] = {
    {"en", "US", 0x0409},
    {"en", "GB", 0x0809},
    {"en", "AU", 0x0C09},
    {"en", "CA", 0x1009},
    {"en", "NZ", 0x1409},
    {"en", "IE", 0x1809},
    {"en", "ZA", 0x1C09},
    {"en", nullptr, 0x0409},
    {"it", "IT", 0x0410},
    {"it", "CH", 0x0810},
    {"it", nullptr, 0x0410},
    // Spain's identifier today is the modern sort (3082); the traditional sort (1034) is chosen
    // with the @traditional modifier, handled below.
    {"es", "ES", 0x0C0A},
    {"es", "MX", 0x080A},
    {"es", "GT", 0x100A},
    {"es", "CR", 0x140A},
    {"es", "PA", 0x180A},
    {"es", "DO", 0x1C0A},
    {"es", "VE", 0x200A},
    {"es", "CO", 0x240A},
    {"es", "PE", 0x280A},
    {"es", "AR", 0x2C0A},
    {"es", "EC", 0x300A},
    {"es", "CL", 0x340A},
    {"es", "UY", 0x380A},
    {"es", "PY", 0x3C0A},
    {"es", "BO", 0x400A},
    {"es", "SV", 0x440A},
    {"es", "HN", 0x480A},
    {"es", "NI", 0x4C0A},
    {"es", "PR", 0x500A},
    {"es", "US", 0x540A},
    {"es", nullptr, 0x0C0A},
    {"el", nullptr, 0x0408},
    {"zh", "TW", 0x0404},
    {"zh", "CN", 0x0804},
    {"zh", "HK", 0x0C04},
    {"zh", "SG", 0x1004},
    {"zh", "MO", 0x1404},
    {"zh", nullptr, 0x0804},
    {"de", "DE", 0x0407},
    {"de", "CH", 0x0807},
    {"de", "AT", 0x0C07},
    {"de", "LU", 0x1007},
    {"de", "LI", 0x1407},
    {"de", nullptr, 0x0407},
    {"fr", "FR", 0x040C},
    {"fr", "BE", 0x080C},
    {"fr", "CA", 0x0C0C},
    {"fr", "CH", 0x100C},
    {"fr", "LU", 0x140C},
    {"fr", "MC", 0x180C},
    {"fr", nullptr, 0x040C},
    {"pt", "BR", 0x0416},
    {"pt", "PT", 0x0816},
    {"pt", nullptr, 0x0416},
    {"nl", "NL", 0x0413},
    {"nl", "BE", 0x0813},
    {"nl", nullptr, 0x0413},
    {"sv", "SE", 0x041D},
    {"sv", "FI", 0x081D},
    {"sv", nullptr, 0x041D},
    {"ar", nullptr, 0x0401},
    {"bg", nullptr, 0x0402},
    {"ca", nullptr, 0x0403},
    {"cs", nullptr, 0x0405},
    {"da", nullptr, 0x0406},
    {"fi", nullptr, 0x040B},
    {"he", nullptr, 0x040D},
    {"hu", nullptr, 0x040E},
    {"is", nullptr, 0x040F},
    {"ja", nullptr, 0x0411},
    {"ko", nullptr, 0x0412},
    {"nb", nullptr, 0x0414},
    {"no", nullptr, 0x0414},
    {"nn", nullptr, 0x0814},
    {"pl", nullptr, 0x0415},
    {"ro", nullptr, 0x0418},
    {"ru", nullptr, 0x0419},
    {"hr", nullptr, 0x041A},
    {"sk", nullptr, 0x041B},
    {"sq", nullptr, 0x041C},
    {"th", nullptr, 0x041E},
    {"tr", nullptr, 0x041F},
    {"id", nullptr, 0x0421},
    {"uk", nullptr, 0x0422},
    {"be", nullptr, 0x0423},
    {"sl", nullptr, 0x0424},
    {"et", nullptr, 0x0425},
    {"lv", nullptr, 0x0426},
    {"lt", nullptr, 0x0427},
    {"vi", nullptr, 0x042A},
    {"eu", nullptr, 0x042D},
    {"mk", nullptr, 0x042F},
    {"af", nullptr, 0x0436},
    {"hi", nullptr, 0x0439},
    {"ms", nullptr, 0x043E},
    {"gl", nullptr, 0x0456},
    {"sr", nullptr, 0x0C1A},
};

constexpr LANGID kEnglishUs = 0x0409;

// The per-thread choice made by SetThreadLocale; 0 means "follow the environment".
thread_local LCID t_threadLocale = 0;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

const char* environmentLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return nullptr;
}

LANGID userDefault() {
    return VantorLangIdFromPosixLocale(environmentLocale());
}

}  // namespace

LANGID VantorLangIdFromPosixLocale(const char* name) {
    if (name == nullptr) {
        return kEnglishUs;
    }
    // language[_territory][.codeset][@modifier]
    std::string_view text(name);
    std::string_view modifier;
    if (size_t at = text.find('@'); at != std::string_view::npos) {
        modifier = text.substr(at + 1);
        text = text.substr(0, at);
    }
    if (size_t dot = text.find('.'); dot != std::string_view::npos) {
        text = text.substr(0, dot);
    }
    std::string_view territoryPart;
    if (size_t sep = text.find_first_of("_-"); sep != std::string_view::npos) {
        territoryPart = text.substr(sep + 1);
        text = text.substr(0, sep);
    }
    std::string language = lower(text);
    std::string territory = upper(territoryPart);
    if (language.empty() || language == "c" || language == "posix") {
        return kEnglishUs;
    }
    if (language == "es" && (territory.empty() || territory == "ES") &&
        lower(modifier) == "traditional") {
        return 0x040A;
    }
    const LocaleRow* languageDefault = nullptr;
    for (const LocaleRow& row : kLocales) {
        if (language != row.language) {
            continue;
        }
        if (row.territory == nullptr) {
            languageDefault = &row;
        } else if (territory == row.territory) {
            return row.id;
        }
    }
    return languageDefault != nullptr ? languageDefault->id : LOCALE_CUSTOM_UNSPECIFIED;
}

LANGID GetUserDefaultLangID() {
    return userDefault();
}

LANGID GetSystemDefaultLangID() {
    return userDefault();
}

LCID GetUserDefaultLCID() {
    return MAKELCID(userDefault(), SORT_DEFAULT);
}

LCID GetSystemDefaultLCID() {
    return MAKELCID(userDefault(), SORT_DEFAULT);
}

LCID GetThreadLocale() {
    return t_threadLocale != 0 ? t_threadLocale : MAKELCID(userDefault(), SORT_DEFAULT);
}

BOOL SetThreadLocale(LCID locale) {
    if (locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT) {
        t_threadLocale = 0;
        return TRUE;
    }
    if (PRIMARYLANGID(LANGIDFROMLCID(locale)) == LANG_NEUTRAL || (locale >> 20) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t_threadLocale = locale;
    return TRUE;
}
