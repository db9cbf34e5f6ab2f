// VariantChangeType(Ex) and the text and date conversions behind it, with the Windows rules.
#include <cctype>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "win/oleauto.h"

namespace vantor::ole {
bool validVariantType(VARTYPE vt);
}

namespace {

// Valid DATE range: 1 January 100 to 31 December 9999, 23:59:59.
constexpr double kMinDate = -657434.0;
constexpr double kMaxDate = 2958465.99999999;

// A number on its way between two VARIANT types.
struct Num {
    enum Kind { Int, UInt, Real } kind = Int;
    LONGLONG i = 0;
    ULONGLONG u = 0;
    double d = 0;
    bool fromBool = false;  // VARIANT_TRUE wraps into unsigned types instead of overflowing
};

Num fromInt(LONGLONG v) {
    Num n;
    n.kind = Num::Int;
    n.i = v;
    return n;
}
Num fromUInt(ULONGLONG v) {
    Num n;
    n.kind = Num::UInt;
    n.u = v;
    return n;
}
Num fromReal(double v) {
    Num n;
    n.kind = Num::Real;
    n.d = v;
    return n;
}

double asReal(const Num& n) {
    switch (n.kind) {
        case Num::Int:
            return static_cast<double>(n.i);
        case Num::UInt:
            return static_cast<double>(n.u);
        default:
            return n.d;
    }
}

// Rounds to an integer in [lo, hi] with banker's rounding (half to even), as Windows does.
HRESULT toInteger(const Num& n, LONGLONG lo, ULONGLONG hi, bool isSigned, ULONGLONG& bits) {
    if (n.fromBool && !isSigned) {
        bits = static_cast<ULONGLONG>(n.i) & hi;  // VARIANT_TRUE -> all bits set
        return S_OK;
    }
    if (n.kind == Num::Int) {
        if (n.i < lo || (n.i >= 0 && static_cast<ULONGLONG>(n.i) > hi)) {
            return DISP_E_OVERFLOW;
        }
        bits = static_cast<ULONGLONG>(n.i);
        return S_OK;
    }
    if (n.kind == Num::UInt) {
        if (n.u > hi) {
            return DISP_E_OVERFLOW;
        }
        bits = n.u;
        return S_OK;
    }
    if (!std::isfinite(n.d)) {
        return DISP_E_OVERFLOW;
    }
    double r = std::nearbyint(n.d);  // the default rounding mode rounds half to even
    if (r < static_cast<double>(lo) || r > static_cast<double>(hi) || r >= 18446744073709551616.0) {
        return DISP_E_OVERFLOW;
    }
    if (isSigned) {
        if (r >= 9223372036854775808.0) {
            return DISP_E_OVERFLOW;
        }
        bits = static_cast<ULONGLONG>(static_cast<LONGLONG>(r));
    } else {
        bits = static_cast<ULONGLONG>(r);
    }
    return S_OK;
}

std::string narrow(const OLECHAR* text, size_t len, bool& ascii) {
    std::string s;
    s.reserve(len);
    ascii = true;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] > 0x7f) {
            ascii = false;
            return {};
        }
        s.push_back(static_cast<char>(text[i]));
    }
    return s;
}

std::string trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return s.substr(b, e - b);
}

bool equalsNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Parses US-English number text: blanks around, a sign, digits with ',' thousands separators,
// '.' decimals, an E or D exponent; or "&H" hexadecimal / "&O" octal. Hexadecimal and octal
// values take the smallest of 16, 32 or 64 bits and are read as signed there, as Visual Basic
// reads its literals (so "&HFFFF" is -1).
HRESULT parseNumber(const std::string& raw, Num& out) {
    std::string s = trim(raw);
    if (s.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
        unsigned base = (s[1] == 'H' || s[1] == 'h') ? 16 : 8;
        ULONGLONG v = 0;
        for (size_t i = 2; i < s.size(); ++i) {
            int c = std::tolower(static_cast<unsigned char>(s[i]));
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (base == 16 && c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else {
                return DISP_E_TYPEMISMATCH;
            }
            if (digit >= base) {
                return DISP_E_TYPEMISMATCH;
            }
            if (v > (std::numeric_limits<ULONGLONG>::max() - digit) / base) {
                return DISP_E_OVERFLOW;
            }
            v = v * base + digit;
        }
        if (v <= 0xFFFFu) {
            out = fromInt(static_cast<SHORT>(static_cast<USHORT>(v)));
        } else if (v <= 0xFFFFFFFFu) {
            out = fromInt(static_cast<LONG>(static_cast<ULONG>(v)));
        } else {
            out = fromInt(static_cast<LONGLONG>(v));
        }
        return S_OK;
    }
    std::string digits;
    size_t i = 0;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-') {
        negative = s[i] == '-';
        ++i;
    }
    bool anyDigit = false;
    bool fraction = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digits.push_back(c);
            anyDigit = true;
        } else if (c == ',' && !fraction && anyDigit) {
            continue;  // thousands separator
        } else if (c == '.' && !fraction) {
            digits.push_back('.');
            fraction = true;
        } else {
            break;
        }
    }
    if (!anyDigit) {
        return DISP_E_TYPEMISMATCH;
    }
    std::string exponent;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            exponent.push_back(s[i++]);
        }
        size_t start = exponent.size();
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            exponent.push_back(s[i++]);
        }
        if (exponent.size() == start) {
            return DISP_E_TYPEMISMATCH;
        }
    }
    if (i != s.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    if (!fraction && exponent.empty()) {
        // Whole numbers are read exactly, so the 64-bit limits survive the trip through text.
        ULONGLONG v = 0;
        bool fits = true;
        for (char c : digits) {
            unsigned d = static_cast<unsigned>(c - '0');
            if (v > (std::numeric_limits<ULONGLONG>::max() - d) / 10) {
                fits = false;
                break;
            }
            v = v * 10 + d;
        }
        if (fits && !negative) {
            out = v <= static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max())
                      ? fromInt(static_cast<LONGLONG>(v))
                      : fromUInt(v);
            return S_OK;
        }
        if (fits && v <= static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max()) + 1) {
            out = fromInt(static_cast<LONGLONG>(0 - v));
            return S_OK;
        }
    }
    std::string text = (negative ? "-" : "") + digits + (exponent.empty() ? "" : "e" + exponent);
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    if (!std::isfinite(d)) {
        return DISP_E_OVERFLOW;
    }
    out = fromReal(d);
    return S_OK;
}

// Days between 0000-03-01-based civil dates (Howard Hinnant's algorithm).
LONGLONG daysFromCivil(LONGLONG y, unsigned m, unsigned d) {
    y -= m <= 2;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

void civilFromDays(LONGLONG z, LONGLONG& y, unsigned& m, unsigned& d) {
    z += 719468;
    const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<LONGLONG>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

const LONGLONG kDateEpoch = daysFromCivil(1899, 12, 30);

unsigned daysInMonth(LONGLONG y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

bool makeDate(LONGLONG y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s, DATE& out) {
    if (y < 100 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 ||
        mi > 59 || s > 59) {
        return false;
    }
    double days = static_cast<double>(daysFromCivil(y, mo, d) - kDateEpoch);
    double time = (h * 3600.0 + mi * 60.0 + s) / 86400.0;
    // Before the epoch the time of day still counts forward from midnight: -1.25 is
    // 29 December 1899, 06:00.
    out = days < 0 ? days - time : days + time;
    return true;
}

struct Parts {
    LONGLONG year;
    unsigned month, day, hour, minute, second;
};

bool splitDate(DATE date, Parts& p) {
    if (!(date >= kMinDate && date <= kMaxDate + 1)) {
        return false;
    }
    double whole = std::trunc(date);
    double frac = std::fabs(date - whole);
    auto seconds = static_cast<LONGLONG>(std::llround(frac * 86400.0));
    auto day = static_cast<LONGLONG>(whole);
    if (seconds >= 86400) {
        seconds -= 86400;
        day += 1;
    }
    civilFromDays(day + kDateEpoch, p.year, p.month, p.day);
    if (p.year > 9999) {
        return false;
    }
    p.hour = static_cast<unsigned>(seconds / 3600);
    p.minute = static_cast<unsigned>(seconds / 60 % 60);
    p.second = static_cast<unsigned>(seconds % 60);
    return true;
}

HRESULT formatDate(DATE date, ULONG flags, std::string& out) {
    Parts p{};
    if (!splitDate(date, p)) {
        return E_INVALIDARG;
    }
    bool hasDate = std::trunc(date) != 0.0 || (flags & VAR_DATEVALUEONLY);
    bool hasTime = p.hour != 0 || p.minute != 0 || p.second != 0;
    if (flags & VAR_TIMEVALUEONLY) {
        hasDate = false;
        hasTime = true;
    }
    if (flags & VAR_DATEVALUEONLY) {
        hasTime = false;
    }
    if (!hasDate && !hasTime) {
        hasTime = true;  // the zero date reads "12:00:00 AM"
    }
    char buf[64];
    out.clear();
    if (hasDate) {
        std::snprintf(buf, sizeof(buf), "%u/%u/%lld", p.month, p.day,
                      static_cast<long long>(p.year));
        out = buf;
    }
    if (hasTime) {
        unsigned h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
        std::snprintf(buf, sizeof(buf), "%u:%02u:%02u %s", h12, p.minute, p.second,
                      p.hour < 12 ? "AM" : "PM");
        out += (out.empty() ? "" : " ") + std::string(buf);
    }
    return S_OK;
}

int monthFromName(const std::string& word) {
    static const char* const names[] = {"january",   "february", "march",    "april",
                                        "may",       "june",     "july",     "august",
                                        "september", "october",  "november", "december"};
    if (word.size() < 3) {
        return 0;
    }
    for (int m = 0; m < 12; ++m) {
        std::string name = names[m];
        if (word.size() <= name.size()) {
            bool match = true;
            for (size_t i = 0; i < word.size(); ++i) {
                if (std::tolower(static_cast<unsigned char>(word[i])) != name[i]) {
                    match = false;
                    break;
                }
            }
            if (match) {
                return m + 1;
            }
        }
    }
    return 0;
}

bool isWeekday(const std::string& word) {
    static const char* const names[] = {"sunday",   "monday", "tuesday", "wednesday",
                                        "thursday", "friday", "saturday"};
    for (const char* n : names) {
        std::string name = n;
        if (word.size() >= 3 && word.size() <= name.size() &&
            equalsNoCase(word, name.substr(0, word.size()).c_str())) {
            return true;
        }
    }
    return false;
}

// Reads dates as a US-English user writes them: "12/31/2005", "2005-12-31", "Dec 31, 2005",
// "31 December 2005", each optionally followed by a time "13:05", "1:05:09 PM"; or a time
// alone (which lands on the zero date, 30 December 1899).
HRESULT parseDate(const std::string& raw, DATE& out) {
    std::string s = trim(raw);
    if (s.empty() || s.size() > 256) {
        return DISP_E_TYPEMISMATCH;
    }
    struct Token {
        enum Kind { Number, Word } kind;
        std::string text;
        char after;  // the separator that follows, or 0
        size_t digits;
    };
    std::vector<Token> tokens;
    for (size_t i = 0; i < s.size();) {
        char c = s[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            size_t j = i;
            while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
                ++j;
            }
            if (j - i > 9) {
                return DISP_E_TYPEMISMATCH;
            }
            tokens.push_back({Token::Number, s.substr(i, j - i), 0, j - i});
            i = j;
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            size_t j = i;
            while (j < s.size() && std::isalpha(static_cast<unsigned char>(s[j]))) {
                ++j;
            }
            tokens.push_back({Token::Word, s.substr(i, j - i), 0, 0});
            i = j;
        } else if (c == '/' || c == '-' || c == ':' || c == '.' || c == ',' || c == ' ' ||
                   c == '\t') {
            if (!tokens.empty() && tokens.back().after == 0 && c != ' ' && c != '\t') {
                tokens.back().after = c;
            }
            ++i;
        } else {
            return DISP_E_TYPEMISMATCH;
        }
    }
    // The time: numbers joined by ':' (the first starts it), then an optional AM/PM word.
    unsigned hour = 0, minute = 0, second = 0;
    bool haveTime = false;
    std::vector<Token> dateTokens;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.kind == Token::Number && t.after == ':' && !haveTime) {
            std::vector<unsigned> fields;
            size_t j = i;
            while (j < tokens.size() && tokens[j].kind == Token::Number) {
                fields.push_back(static_cast<unsigned>(std::stoul(tokens[j].text)));
                if (tokens[j].after != ':') {
                    break;
                }
                ++j;
            }
            if (fields.size() < 2 || fields.size() > 3) {
                return DISP_E_TYPEMISMATCH;
            }
            hour = fields[0];
            minute = fields[1];
            second = fields.size() == 3 ? fields[2] : 0;
            i = j;
            if (i + 1 < tokens.size() && tokens[i + 1].kind == Token::Word &&
                (equalsNoCase(tokens[i + 1].text, "am") ||
                 equalsNoCase(tokens[i + 1].text, "pm"))) {
                bool pm = equalsNoCase(tokens[i + 1].text, "pm");
                if (hour < 1 || hour > 12) {
                    return DISP_E_TYPEMISMATCH;
                }
                hour = (hour % 12) + (pm ? 12 : 0);
                ++i;
            }
            if (hour > 23 || minute > 59 || second > 59) {
                return DISP_E_TYPEMISMATCH;
            }
            haveTime = true;
            continue;
        }
        if (t.kind == Token::Word && isWeekday(t.text) && monthFromName(t.text) == 0) {
            continue;
        }
        if (t.kind == Token::Word && (equalsNoCase(t.text, "t") && haveTime == false)) {
            continue;  // ISO "2005-12-31T10:00:00"
        }
        dateTokens.push_back(t);
    }
    LONGLONG year = 1899;
    unsigned month = 12, day = 30;
    std::vector<LONGLONG> numbers;
    std::vector<size_t> widths;
    int monthName = 0;
    for (const Token& t : dateTokens) {
        if (t.kind == Token::Number) {
            numbers.push_back(std::stoll(t.text));
            widths.push_back(t.digits);
        } else if (int m = monthFromName(t.text); m != 0 && monthName == 0) {
            monthName = m;
        } else {
            return DISP_E_TYPEMISMATCH;
        }
    }
    auto fullYear = [](LONGLONG y, size_t width) {
        // Two-digit years: 00-29 are 2000-2029, 30-99 are 1930-1999.
        if (width <= 2) {
            return y < 30 ? 2000 + y : 1900 + y;
        }
        return y;
    };
    if (monthName != 0) {
        if (numbers.size() != 2) {
            return DISP_E_TYPEMISMATCH;
        }
        month = static_cast<unsigned>(monthName);
        if (widths[0] >= 3) {
            year = numbers[0];
            day = static_cast<unsigned>(numbers[1]);
        } else {
            day = static_cast<unsigned>(numbers[0]);
            year = fullYear(numbers[1], widths[1]);
        }
    } else if (numbers.size() == 3) {
        if (widths[0] >= 3) {
            year = numbers[0];
            month = static_cast<unsigned>(numbers[1]);
            day = static_cast<unsigned>(numbers[2]);
        } else {
            month = static_cast<unsigned>(numbers[0]);
            day = static_cast<unsigned>(numbers[1]);
            year = fullYear(numbers[2], widths[2]);
        }
    } else if (!numbers.empty() || !haveTime) {
        return DISP_E_TYPEMISMATCH;
    }
    if (!makeDate(year, month, day, hour, minute, second, out)) {
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

HRESULT allocBstr(const std::string& ascii, BSTR& out) {
    std::u16string wide(ascii.begin(), ascii.end());
    out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return out ? S_OK : E_OUTOFMEMORY;
}

std::string formatReal(double d, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.*G", digits, d);
    return buf;
}

// The source value as a number, or the reason it is not one.
HRESULT sourceNumber(const VARIANT& v, Num& n) {
    switch (v.vt) {
        case VT_EMPTY:
            n = fromInt(0);
            return S_OK;
        case VT_I1:
            n = fromInt(v.cVal);
            return S_OK;
        case VT_UI1:
            n = fromInt(v.bVal);
            return S_OK;
        case VT_I2:
            n = fromInt(v.iVal);
            return S_OK;
        case VT_UI2:
            n = fromInt(v.uiVal);
            return S_OK;
        case VT_I4:
            n = fromInt(v.lVal);
            return S_OK;
        case VT_INT:
            n = fromInt(v.intVal);
            return S_OK;
        case VT_UI4:
            n = fromInt(v.ulVal);
            return S_OK;
        case VT_UINT:
            n = fromInt(v.uintVal);
            return S_OK;
        case VT_I8:
            n = fromInt(v.llVal);
            return S_OK;
        case VT_UI8:
            n = fromUInt(v.ullVal);
            return S_OK;
        case VT_R4:
            n = fromReal(v.fltVal);
            return S_OK;
        case VT_R8:
            n = fromReal(v.dblVal);
            return S_OK;
        case VT_DATE:
            n = fromReal(v.date);
            return S_OK;
        case VT_CY:
            n = fromReal(static_cast<double>(v.cyVal.int64) / 10000.0);
            return S_OK;
        case VT_BOOL:
            n = fromInt(v.boolVal);
            n.fromBool = true;
            return S_OK;
        case VT_BSTR: {
            bool ascii = true;
            std::string s = narrow(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal), ascii);
            if (!ascii) {
                return DISP_E_TYPEMISMATCH;
            }
            return parseNumber(s, n);
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

HRESULT integerTarget(const Num& n, VARTYPE vt, VARIANT& out) {
    ULONGLONG bits = 0;
    HRESULT hr = S_OK;
    switch (vt) {
        case VT_I1:
            hr = toInteger(n, -128, 127, true, bits);
            out.cVal = static_cast<CHAR>(bits);
            break;
        case VT_UI1:
            hr = toInteger(n, 0, 0xFF, false, bits);
            out.bVal = static_cast<BYTE>(bits);
            break;
        case VT_I2:
            hr = toInteger(n, -32768, 32767, true, bits);
            out.iVal = static_cast<SHORT>(bits);
            break;
        case VT_UI2:
            hr = toInteger(n, 0, 0xFFFF, false, bits);
            out.uiVal = static_cast<USHORT>(bits);
            break;
        case VT_I4:
        case VT_INT:
            hr = toInteger(n, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max(),
                           true, bits);
            out.lVal = static_cast<LONG>(bits);
            break;
        case VT_UI4:
        case VT_UINT:
            hr = toInteger(n, 0, 0xFFFFFFFFu, false, bits);
            out.ulVal = static_cast<ULONG>(bits);
            break;
        case VT_I8:
            hr =
                toInteger(n, std::numeric_limits<LONGLONG>::min(),
                          static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max()), true, bits);
            out.llVal = static_cast<LONGLONG>(bits);
            break;
        case VT_UI8:
            hr = toInteger(n, 0, std::numeric_limits<ULONGLONG>::max(), false, bits);
            out.ullVal = bits;
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (SUCCEEDED(hr)) {
        out.vt = vt;
    }
    return hr;
}

bool isInteger(VARTYPE vt) {
    return vt == VT_I1 || vt == VT_UI1 || vt == VT_I2 || vt == VT_UI2 || vt == VT_I4 ||
           vt == VT_UI4 || vt == VT_INT || vt == VT_UINT || vt == VT_I8 || vt == VT_UI8;
}

HRESULT coerce(const VARIANT& src, VARIANT& out, LCID lcid, USHORT flags, VARTYPE vt);

// The value property (DISPID_VALUE) of an object, as Windows reads it when an object is
// converted to a plain type.
HRESULT valueProperty(IDispatch* d, VARIANT& value) {
    if (d == nullptr) {
        return DISP_E_TYPEMISMATCH;
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VariantInit(&value);
    HRESULT hr = d->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                           &value, nullptr, nullptr);
    return FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}

HRESULT toText(const VARIANT& src, USHORT flags, BSTR& out) {
    char buf[64];
    switch (src.vt) {
        case VT_EMPTY:
            return allocBstr("", out);
        case VT_BOOL:
            if (flags & VARIANT_ALPHABOOL) {
                return allocBstr(src.boolVal ? "True" : "False", out);
            }
            return allocBstr(src.boolVal ? "-1" : "0", out);
        case VT_R4:
            return allocBstr(formatReal(src.fltVal, 7), out);
        case VT_R8:
            return allocBstr(formatReal(src.dblVal, 15), out);
        case VT_DATE: {
            std::string text;
            HRESULT hr = formatDate(src.date, 0, text);
            return FAILED(hr) ? hr : allocBstr(text, out);
        }
        case VT_CY: {
            LONGLONG v = src.cyVal.int64;
            ULONGLONG a = v < 0 ? 0 - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
            std::snprintf(buf, sizeof(buf), "%s%llu", v < 0 ? "-" : "",
                          static_cast<unsigned long long>(a / 10000));
            std::string text = buf;
            if (unsigned frac = static_cast<unsigned>(a % 10000); frac != 0) {
                std::snprintf(buf, sizeof(buf), ".%04u", frac);
                std::string f = buf;
                while (f.back() == '0') {
                    f.pop_back();
                }
                text += f;
            }
            return allocBstr(text, out);
        }
        case VT_UI8:
            std::snprintf(buf, sizeof(buf), "%llu", static_cast<unsigned long long>(src.ullVal));
            return allocBstr(buf, out);
        default: {
            if (!isInteger(src.vt)) {
                return DISP_E_TYPEMISMATCH;
            }
            Num n;
            HRESULT hr = sourceNumber(src, n);
            if (FAILED(hr)) {
                return hr;
            }
            std::snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(n.i));
            return allocBstr(buf, out);
        }
    }
}

HRESULT coerce(const VARIANT& src, VARIANT& out, LCID lcid, USHORT flags, VARTYPE vt) {
    VariantInit(&out);
    if (src.vt == vt) {
        return VariantCopy(&out, &src);
    }
    // Objects: another interface of the same object, or the object's value property.
    if (src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH) {
        if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (src.punkVal == nullptr) {
                out.vt = vt;
                return S_OK;
            }
            void* p = nullptr;
            HRESULT hr =
                src.punkVal->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &p);
            if (FAILED(hr)) {
                return DISP_E_TYPEMISMATCH;
            }
            out.vt = vt;
            out.punkVal = static_cast<IUnknown*>(p);
            return S_OK;
        }
        if (src.vt != VT_DISPATCH || (flags & VARIANT_NOVALUEPROP)) {
            return DISP_E_TYPEMISMATCH;
        }
        VARIANT value;
        HRESULT hr = valueProperty(src.pdispVal, value);
        if (FAILED(hr)) {
            return hr;
        }
        if (value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN) {
            VariantClear(&value);
            return DISP_E_TYPEMISMATCH;  // no chains of value properties
        }
        hr = coerce(value, out, lcid, flags, vt);
        VariantClear(&value);
        return hr;
    }
    if (vt & VT_ARRAY) {
        if (vt == (VT_ARRAY | VT_UI1) && src.vt == VT_BSTR) {
            HRESULT hr = VectorFromBstr(src.bstrVal, &out.parray);
            if (SUCCEEDED(hr)) {
                out.vt = vt;
            }
            return hr;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (src.vt & VT_ARRAY) {
        if (src.vt == (VT_ARRAY | VT_UI1) && vt == VT_BSTR) {
            HRESULT hr = BstrFromVector(src.parray, &out.bstrVal);
            if (SUCCEEDED(hr)) {
                out.vt = VT_BSTR;
            }
            return hr;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (src.vt == VT_NULL) {
        return DISP_E_TYPEMISMATCH;
    }
    if (src.vt == VT_ERROR || vt == VT_ERROR) {
        return DISP_E_TYPEMISMATCH;
    }
    switch (vt) {
        case VT_EMPTY:
            return S_OK;
        case VT_NULL:
            if (src.vt != VT_EMPTY) {
                return DISP_E_TYPEMISMATCH;
            }
            out.vt = VT_NULL;
            return S_OK;
        case VT_BSTR: {
            HRESULT hr = toText(src, flags, out.bstrVal);
            if (SUCCEEDED(hr)) {
                out.vt = VT_BSTR;
            }
            return hr;
        }
        case VT_BOOL: {
            if (src.vt == VT_BSTR) {
                bool ascii = true;
                std::string s =
                    trim(narrow(src.bstrVal ? src.bstrVal : u"", SysStringLen(src.bstrVal), ascii));
                if (ascii && (equalsNoCase(s, "true") || equalsNoCase(s, "#true#"))) {
                    out.boolVal = VARIANT_TRUE;
                    out.vt = VT_BOOL;
                    return S_OK;
                }
                if (ascii && (equalsNoCase(s, "false") || equalsNoCase(s, "#false#"))) {
                    out.boolVal = VARIANT_FALSE;
                    out.vt = VT_BOOL;
                    return S_OK;
                }
            }
            Num n;
            HRESULT hr = sourceNumber(src, n);
            if (FAILED(hr)) {
                return hr;
            }
            out.boolVal = asReal(n) != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
            out.vt = VT_BOOL;
            return S_OK;
        }
        case VT_DATE: {
            if (src.vt == VT_BSTR) {
                bool ascii = true;
                std::string s =
                    narrow(src.bstrVal ? src.bstrVal : u"", SysStringLen(src.bstrVal), ascii);
                if (!ascii) {
                    return DISP_E_TYPEMISMATCH;
                }
                HRESULT hr = parseDate(s, out.date);
                if (FAILED(hr)) {
                    // A plain number is a date too ("38717.5").
                    Num n;
                    if (FAILED(parseNumber(s, n))) {
                        return hr;
                    }
                    out.date = asReal(n);
                    if (!(out.date >= kMinDate && out.date <= kMaxDate)) {
                        return DISP_E_OVERFLOW;
                    }
                }
                out.vt = VT_DATE;
                return S_OK;
            }
            Num n;
            HRESULT hr = sourceNumber(src, n);
            if (FAILED(hr)) {
                return hr;
            }
            double d = asReal(n);
            if (!(d >= kMinDate && d <= kMaxDate)) {
                return DISP_E_OVERFLOW;
            }
            out.date = d;
            out.vt = VT_DATE;
            return S_OK;
        }
        case VT_R4:
        case VT_R8:
        case VT_CY: {
            Num n;
            HRESULT hr = sourceNumber(src, n);
            if (FAILED(hr)) {
                return hr;
            }
            double d = asReal(n);
            if (vt == VT_R4) {
                if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
                    return DISP_E_OVERFLOW;
                }
                out.fltVal = static_cast<float>(d);
            } else if (vt == VT_R8) {
                out.dblVal = d;
            } else {
                double scaled = std::nearbyint(d * 10000.0);
                if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2233720368547758e18) {
                    return DISP_E_OVERFLOW;
                }
                out.cyVal.int64 = static_cast<LONGLONG>(scaled);
            }
            out.vt = vt;
            return S_OK;
        }
        default: {
            if (!isInteger(vt)) {
                return vantor::ole::validVariantType(vt) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
            }
            Num n;
            HRESULT hr = sourceNumber(src, n);
            if (FAILED(hr)) {
                return hr;
            }
            return integerTarget(n, vt, out);
        }
    }
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* source, LCID lcid, USHORT flags,
                            VARTYPE vt) {
    if (dest == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (!vantor::ole::validVariantType(source->vt) || !vantor::ole::validVariantType(vt) ||
        (vt & VT_BYREF)) {
        return DISP_E_BADVARTYPE;
    }
    // The source may be by reference and may be the destination itself: work on an owned copy.
    VARIANT src;
    VariantInit(&src);
    HRESULT hr = VariantCopyInd(&src, source);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT result;
    VariantInit(&result);
    hr = coerce(src, result, lcid, flags, vt);
    VariantClear(&src);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *dest = result;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT flags, VARTYPE vt) {
    return VariantChangeTypeEx(dest, source, LOCALE_USER_DEFAULT, flags, vt);
}

INT SystemTimeToVariantTime(LPSYSTEMTIME st, DOUBLE* variantTime) {
    if (st == nullptr || variantTime == nullptr) {
        return FALSE;
    }
    DATE d = 0;
    if (!makeDate(st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond, d)) {
        return FALSE;
    }
    *variantTime = d;
    return TRUE;
}

INT VariantTimeToSystemTime(DOUBLE variantTime, LPSYSTEMTIME st) {
    if (st == nullptr) {
        return FALSE;
    }
    Parts p{};
    if (!(variantTime >= kMinDate && variantTime <= kMaxDate) || !splitDate(variantTime, p)) {
        return FALSE;
    }
    st->wYear = static_cast<WORD>(p.year);
    st->wMonth = static_cast<WORD>(p.month);
    st->wDay = static_cast<WORD>(p.day);
    st->wHour = static_cast<WORD>(p.hour);
    st->wMinute = static_cast<WORD>(p.minute);
    st->wSecond = static_cast<WORD>(p.second);
    st->wMilliseconds = 0;
    // 1899-12-30 was a Saturday.
    LONGLONG days = daysFromCivil(p.year, p.month, p.day) - kDateEpoch;
    st->wDayOfWeek = static_cast<WORD>(((days + 6) % 7 + 7) % 7);
    return TRUE;
}

namespace {

// Runs a conversion of a text argument through the common path.
template <typename T>
HRESULT fromText(LPCOLESTR text, VARTYPE vt, USHORT flags, T* result, T VARIANT::*field) {
    if (text == nullptr || result == nullptr) {
        return E_INVALIDARG;
    }
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(text);
    if (src.bstrVal == nullptr) {
        return E_OUTOFMEMORY;
    }
    VARIANT out;
    VariantInit(&out);
    HRESULT hr = VariantChangeTypeEx(&out, &src, LOCALE_USER_DEFAULT, flags, vt);
    VariantClear(&src);
    if (SUCCEEDED(hr)) {
        *result = out.*field;
    }
    return hr;
}

}  // namespace

HRESULT VarDateFromStr(LPCOLESTR text, LCID, ULONG, DATE* result) {
    return fromText(text, VT_DATE, 0, result, &VARIANT::date);
}

HRESULT VarI4FromStr(LPCOLESTR text, LCID, ULONG, LONG* result) {
    return fromText(text, VT_I4, 0, result, &VARIANT::lVal);
}

HRESULT VarUI4FromStr(LPCOLESTR text, LCID, ULONG, ULONG* result) {
    return fromText(text, VT_UI4, 0, result, &VARIANT::ulVal);
}

HRESULT VarR8FromStr(LPCOLESTR text, LCID, ULONG, DOUBLE* result) {
    return fromText(text, VT_R8, 0, result, &VARIANT::dblVal);
}

HRESULT VarBoolFromStr(LPCOLESTR text, LCID, ULONG, VARIANT_BOOL* result) {
    return fromText(text, VT_BOOL, 0, result, &VARIANT::boolVal);
}

HRESULT VarBstrFromDate(DATE date, LCID, ULONG flags, BSTR* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = nullptr;
    std::string text;
    HRESULT hr = formatDate(date, flags, text);
    return FAILED(hr) ? hr : allocBstr(text, *result);
}

HRESULT VarBstrFromI4(LONG value, LCID, ULONG, BSTR* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    return allocBstr(std::to_string(value), *result);
}

HRESULT VarBstrFromBool(VARIANT_BOOL value, LCID, ULONG, BSTR* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    // The Var* form always writes words; only VariantChangeType needs VARIANT_ALPHABOOL.
    return allocBstr(value ? "True" : "False", *result);
}
