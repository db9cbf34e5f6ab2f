// Typed attribute value conversions. A number is kept as this platform's CK_ULONG (what modules
// here read and write) and read back from either that form or the 4-byte little-endian form of a
// 32-bit CK_ULONG, so values written by a module of either layout still read as numbers.
#include "convert/attribute_value.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "convert/array_bytes.h"
#include "oleaut/ustring.h"

namespace pavlox {

namespace {

bool isInteger(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// The 32-bit number a stored value holds, if it holds one.
bool numberOf(ValueBytes value, std::uint32_t& number) {
    if (value.size() == sizeof(CK_ULONG)) {
        CK_ULONG n = 0;
        std::memcpy(&n, value.data(), sizeof(n));
        number = static_cast<std::uint32_t>(n);  // only 32 bits travel in a VT_I4
        return true;
    }
    if (value.size() < 4) {
        return false;
    }
    number = static_cast<std::uint32_t>(value[0]) | static_cast<std::uint32_t>(value[1]) << 8 |
             static_cast<std::uint32_t>(value[2]) << 16 |
             static_cast<std::uint32_t>(value[3]) << 24;
    return true;
}

// The date of a CK_DATE value: 8 decimal digits YYYYMMDD naming a real day.
bool dateOf(ValueBytes value, DATE& date) {
    if (value.size() < 8) {
        return false;
    }
    unsigned digits[8];
    for (size_t i = 0; i < 8; ++i) {
        if (value[i] < '0' || value[i] > '9') {
            return false;  // blanks or zeros mark "no date" on some tokens: not a day
        }
        digits[i] = value[i] - '0';
    }
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3]);
    st.wMonth = static_cast<WORD>(digits[4] * 10 + digits[5]);
    st.wDay = static_cast<WORD>(digits[6] * 10 + digits[7]);
    double d = 0;
    if (!SystemTimeToVariantTime(&st, &d)) {
        return false;
    }
    date = d;
    return true;
}

// One character per byte, each the byte's value (0 to 255): not the ANSI code page.
HRESULT latin1Bstr(ValueBytes value, BSTR* result) {
    if (value.size() > 0x7FFFFFFF / sizeof(OLECHAR)) {
        return E_OUTOFMEMORY;
    }
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(value.size()));
    if (s == nullptr) {
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < value.size(); ++i) {
        s[i] = value[i];
    }
    *result = s;
    return S_OK;
}

// The plain value a client's VARIANT holds, looking through one VT_BYREF | VT_VARIANT and through
// a by-reference scalar.
HRESULT plainValue(const VARIANT& value, vantor::ole::Variant& plain) {
    const VARIANT* v = &value;
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
        v = v->pvarVal;
        if (v == nullptr) {
            return E_INVALIDARG;
        }
    }
    if ((v->vt & VT_BYREF) && v->byref == nullptr) {
        return E_INVALIDARG;
    }
    return SUCCEEDED(VariantCopyInd(plain.get(), v)) ? S_OK : E_INVALIDARG;
}

template <typename T>
void storeScalar(SecureBytes& stored, T scalar) {
    stored.resize(sizeof(T));
    std::memcpy(stored.data(), &scalar, sizeof(T));
}

}  // namespace

bool wholeNumber(const VARIANT& v, long long& n) {
    switch (v.vt) {
        case VT_I1:
            // VT_I1 is signed by definition: -1 is -1, not 255.
            n = static_cast<signed char>(v.cVal);  // NOLINT(bugprone-signed-char-misuse)
            return true;
        case VT_UI1:
            n = v.bVal;
            return true;
        case VT_I2:
            n = v.iVal;
            return true;
        case VT_UI2:
            n = v.uiVal;
            return true;
        case VT_I4:
            n = v.lVal;
            return true;
        case VT_INT:
            n = v.intVal;
            return true;
        case VT_UI4:
            n = v.ulVal;
            return true;
        case VT_UINT:
            n = v.uintVal;
            return true;
        case VT_I8:
            n = v.llVal;
            return true;
        case VT_UI8:
            if (v.ullVal > 0x7FFFFFFFFFFFFFFFull) {
                return false;
            }
            n = static_cast<long long>(v.ullVal);
            return true;
        default:
            return false;
    }
}

AttributeClass attributeClassOf(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_CLASS:
        case CKA_CERTIFICATE_TYPE:
        case CKA_KEY_TYPE:
        case CKA_KEY_GEN_MECHANISM:
            return AttributeClass::Number;
        case CKA_TOKEN:
        case CKA_PRIVATE:
        case CKA_TRUSTED:
        case CKA_SENSITIVE:
        case CKA_ENCRYPT:
        case CKA_DECRYPT:
        case CKA_WRAP:
        case CKA_UNWRAP:
        case CKA_SIGN:
        case CKA_VERIFY:
        case CKA_VERIFY_RECOVER:
        case CKA_DERIVE:
        case CKA_LOCAL:
        case CKA_NEVER_EXTRACTABLE:
        case CKA_MODIFIABLE:
            return AttributeClass::Boolean;
        case CKA_LABEL:
        case CKA_APPLICATION:
            return AttributeClass::Text;
        case CKA_START_DATE:
        case CKA_END_DATE:
            return AttributeClass::Date;
        default:
            // CKA_SIGN_RECOVER, CKA_EXTRACTABLE and CKA_ALWAYS_SENSITIVE are booleans on the token
            // but have always been handed out as bytes; scripts compare them that way.
            return AttributeClass::Bytes;
    }
}

void appendHex(ValueBytes bytes, char16_t* out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::uint8_t b : bytes) {
        *out++ = static_cast<char16_t>(kDigits[b >> 4]);
        *out++ = static_cast<char16_t>(kDigits[b & 0x0F]);
    }
}

HRESULT typedValue(AttributeClass cls, ValueBytes value, VARIANT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    VariantInit(result);
    if (value.empty()) {
        return S_OK;  // VT_EMPTY
    }
    switch (cls) {
        case AttributeClass::Number: {
            std::uint32_t n = 0;
            if (!numberOf(value, n)) {
                return E_UNEXPECTED;
            }
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(n);
            return S_OK;
        }
        case AttributeClass::Boolean:
            result->vt = VT_BOOL;
            result->boolVal = value[0] != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case AttributeClass::Text: {
            BSTR s = nullptr;
            HRESULT hr = latin1Bstr(value, &s);
            if (SUCCEEDED(hr)) {
                result->vt = VT_BSTR;
                result->bstrVal = s;
            }
            return hr;
        }
        case AttributeClass::Date: {
            DATE d = 0;
            if (!dateOf(value, d)) {
                return E_UNEXPECTED;
            }
            result->vt = VT_DATE;
            result->date = d;
            return S_OK;
        }
        case AttributeClass::Bytes:
            return byteArrayVariant(value.data(), value.size(), result);
    }
    return E_UNEXPECTED;
}

HRESULT typedText(AttributeClass cls, ValueBytes value, BSTR* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    if (value.empty()) {
        return S_OK;
    }
    switch (cls) {
        case AttributeClass::Number: {
            std::uint32_t n = 0;
            if (!numberOf(value, n)) {
                return E_UNEXPECTED;
            }
            return VarBstrFromI4(static_cast<LONG>(n), LOCALE_USER_DEFAULT, 0, result);
        }
        case AttributeClass::Boolean: {
            VARIANT b;
            VariantInit(&b);
            b.vt = VT_BOOL;
            b.boolVal = value[0] != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            VARIANT text;
            VariantInit(&text);
            HRESULT hr = VariantChangeType(&text, &b, VARIANT_ALPHABOOL, VT_BSTR);
            if (SUCCEEDED(hr)) {
                *result = text.bstrVal;
            }
            return hr;
        }
        case AttributeClass::Text:
            return latin1Bstr(value, result);
        case AttributeClass::Date: {
            DATE d = 0;
            if (!dateOf(value, d)) {
                return E_UNEXPECTED;
            }
            return VarBstrFromDate(d, LOCALE_SYSTEM_DEFAULT, 0, result);
        }
        case AttributeClass::Bytes: {
            if (value.size() > 0x3FFFFFFF / sizeof(OLECHAR)) {
                return E_OUTOFMEMORY;
            }
            BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(value.size() * 2));
            if (s == nullptr) {
                return E_OUTOFMEMORY;
            }
            appendHex(value, s);
            *result = s;
            return S_OK;
        }
    }
    return E_UNEXPECTED;
}

HRESULT storedForm(AttributeClass cls, const VARIANT& value, SecureBytes& stored) {
    SecureBytes bytes;
    try {
        if (cls == AttributeClass::Bytes) {
            if (!arrayToBytes(value, bytes)) {
                return E_INVALIDARG;
            }
            stored.swap(bytes);
            return S_OK;
        }
        vantor::ole::Variant plain;
        if (FAILED(plainValue(value, plain))) {
            return E_INVALIDARG;
        }
        const VARIANT& v = *plain.get();
        switch (cls) {
            case AttributeClass::Number: {
                // A type library constant such as a vendor-defined class arrives as a negative
                // VT_I4, an unsigned client sends VT_UI4: both 32-bit patterns are accepted.
                long long n = 0;
                if (!isInteger(v.vt) || !wholeNumber(v, n) || n < -0x80000000LL ||
                    n > 0xFFFFFFFFLL) {
                    return E_INVALIDARG;
                }
                storeScalar(bytes, static_cast<CK_ULONG>(static_cast<std::uint32_t>(n)));
                break;
            }
            case AttributeClass::Boolean: {
                if (v.vt == VT_BOOL) {
                    storeScalar(bytes, static_cast<CK_BBOOL>(v.boolVal == VARIANT_TRUE ? 1 : 0));
                    break;
                }
                // An integer is stored as the byte it converts to, so 2 stays 2 and 300 fails.
                VARIANT byte;
                VariantInit(&byte);
                if (!isInteger(v.vt) || FAILED(VariantChangeType(&byte, &v, 0, VT_UI1))) {
                    return E_INVALIDARG;
                }
                storeScalar(bytes, static_cast<CK_BBOOL>(byte.bVal));
                break;
            }
            case AttributeClass::Text: {
                if (v.vt != VT_BSTR) {
                    return E_INVALIDARG;
                }
                std::string text = vantor::ole::toUtf8(v.bstrVal);
                bytes.assign(text.begin(), text.end());
                secureWipe(text.data(), text.size());
                break;
            }
            case AttributeClass::Date: {
                SYSTEMTIME st{};
                if (v.vt != VT_DATE || !VariantTimeToSystemTime(v.date, &st)) {
                    return E_INVALIDARG;
                }
                char digits[16];
                std::snprintf(digits, sizeof(digits), "%04u%02u%02u", unsigned{st.wYear},
                              unsigned{st.wMonth}, unsigned{st.wDay});
                bytes.assign(digits, digits + 8);
                break;
            }
            case AttributeClass::Bytes:
                break;
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    stored.swap(bytes);
    return S_OK;
}

}  // namespace pavlox
