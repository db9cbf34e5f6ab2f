// BSTR to UTF-8 in wiping storage.
#include "convert/ansi_bytes.h"

namespace pavlox {

AnsiBytes::AnsiBytes(BSTR text) {
    const UINT n = text != nullptr ? SysStringLen(text) : 0;
    // The most a BSTR of n units can need, and the terminator: put never reallocates and so
    // never leaves an unwiped copy behind in freed storage.
    bytes_.reserve(static_cast<size_t>(n) * 3 + 1);
    for (UINT i = 0; i < n; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
    put(0);
}

}  // namespace pavlox
