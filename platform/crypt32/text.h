// UTF-8 and UTF-16 conversion for the A/W pairs (the ANSI code page is UTF-8 here).
#pragma once

#include <string>

#include "win/windef.h"

namespace vantor::crypt32 {

// Invalid sequences become U+FFFD; nothing reads past the given length.
std::u16string utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const std::u16string& text);
// Length of a NUL-terminated UTF-16 string.
std::u16string wideFromPointer(LPCWSTR text);

}  // namespace vantor::crypt32
