// UTF-8 <-> UTF-16 for the wide (W) CryptoAPI calls; invalid sequences become U+FFFD.
#pragma once

#include <string>

namespace vantor::capi {

std::u16string utf8ToUtf16(const char* text);
std::string utf16ToUtf8(const char16_t* text);

}  // namespace vantor::capi
