// Typed conversions between attribute values as the token stores them and VARIANTs, by the class
// of the attribute type (number, boolean, text, date, bytes).
#pragma once

#include <cstdint>
#include <span>

#include "convert/secure_bytes.h"
#include "pkcs11/pkcs11.h"
#include "win/oleauto.h"

namespace pavlox {

enum class AttributeClass { Number, Boolean, Text, Date, Bytes };

// Every type not named as number, boolean, text or date is bytes.
AttributeClass attributeClassOf(CK_ATTRIBUTE_TYPE type);

using ValueBytes = std::span<const std::uint8_t>;

// A stored value as a typed VARIANT: number VT_I4, boolean VT_BOOL, text VT_BSTR with one character
// per byte, date VT_DATE at midnight, bytes the byte-array form. No bytes give VT_EMPTY. A number
// shorter than 4 bytes, or a date that is not 8 digits of a real day, gives E_UNEXPECTED.
// result is overwritten, not cleared.
HRESULT typedValue(AttributeClass cls, ValueBytes value, VARIANT* result);

// A stored value as text: number as signed decimal, boolean True/False, text as typedValue, date
// in the default locale's form, bytes as two uppercase hexadecimal digits per byte. No bytes give
// a null BSTR; the same E_UNEXPECTED cases as typedValue.
HRESULT typedText(AttributeClass cls, ValueBytes value, BSTR* result);

// The stored form of a client's VARIANT for an attribute of class cls. Nothing is stored on
// failure (E_INVALIDARG for a value of the wrong kind or one that does not convert).
HRESULT storedForm(AttributeClass cls, const VARIANT& value, SecureBytes& stored);

// The value of a whole-number VARIANT (VT_I1 to VT_UI8, VT_INT, VT_UINT), when it fits a signed
// 64-bit number. False for any other type.
bool wholeNumber(const VARIANT& v, long long& n);

// Bytes as uppercase hexadecimal, the high digit of each byte first.
void appendHex(ValueBytes bytes, char16_t* out);

}  // namespace pavlox
