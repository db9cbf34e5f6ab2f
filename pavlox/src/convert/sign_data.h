// The bytes a client hands in to be signed: a string or an array.
#pragma once

#include "convert/secure_bytes.h"
#include "win/oleauto.h"

namespace pavlox {

// A string (VT_BSTR, by value or by reference, also inside a referenced VARIANT) gives one byte
// per character, the character's value, when every character is at most U+00FF; otherwise its
// UTF-16 code units as little-endian byte pairs. An array gives its bytes by the array-to-bytes
// conversion. Anything else, or an array that does not convert, gives E_INVALIDARG.
HRESULT dataToSign(const VARIANT& value, SecureBytes& data);

}  // namespace pavlox
