// CUtil: ArrayToString, the one utility of the library: a byte array or scalar as text, plain or
// hexadecimal.
#include "classes/util.h"

#include <cstdio>

#include "convert/array_bytes.h"
#include "convert/attribute_value.h"

namespace pavlox {

void* CUtil::interfaceFor(REFIID riid) {
    if (riid == IID_IUtil || riid == IID_IDispatch) {
        return static_cast<IUtil*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    return nullptr;
}

namespace {

// The switch must be a Boolean, directly or by reference; an omitted argument (VT_ERROR) is not.
bool readSwitch(const VARIANT& convertToHex, bool& hex) {
    if (convertToHex.vt == VT_BOOL) {
        hex = convertToHex.boolVal != VARIANT_FALSE;
        return true;
    }
    if (convertToHex.vt == (VT_BYREF | VT_BOOL) && convertToHex.pboolVal != nullptr) {
        hex = *convertToHex.pboolVal != VARIANT_FALSE;
        return true;
    }
    return false;
}

HRESULT scalarToString(const VARIANT& value, bool hex, VARIANT* result) {
    VARIANT converted;
    VariantInit(&converted);
    if (!hex) {
        if (FAILED(VariantChangeType(&converted, &value, 0, VT_BSTR))) {
            return E_INVALIDARG;
        }
        *result = converted;
        return S_OK;
    }
    if (FAILED(VariantChangeType(&converted, &value, 0, VT_UI4))) {
        return E_INVALIDARG;
    }
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%X", static_cast<unsigned>(converted.ulVal));
    OLECHAR wide[16];
    UINT n = 0;
    for (; digits[n] != '\0'; ++n) {
        wide[n] = static_cast<OLECHAR>(digits[n]);
    }
    BSTR s = SysAllocStringLen(wide, n);
    if (s == nullptr) {
        return E_OUTOFMEMORY;
    }
    result->vt = VT_BSTR;
    result->bstrVal = s;
    return S_OK;
}

HRESULT bytesToString(const VARIANT& value, bool hex, VARIANT* result) {
    SecureBytes bytes;
    if (!arrayToBytes(value, bytes)) {
        return E_INVALIDARG;
    }
    size_t chars = hex ? bytes.size() * 2 : bytes.size();
    if (chars > 0x7FFFFFFF / sizeof(OLECHAR)) {
        return E_OUTOFMEMORY;
    }
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
    if (s == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (hex) {
        // High digit first: 0A FF reads "0AFF", as every dump and every caller writes bytes.
        appendHex(bytes.view(), s);
    } else {
        for (size_t i = 0; i < bytes.size(); ++i) {
            s[i] = bytes[i];  // one character per byte, the byte's value
        }
    }
    result->vt = VT_BSTR;
    result->bstrVal = s;
    return S_OK;
}

}  // namespace

HRESULT CUtil::ArrayToString(VARIANT value, VARIANT convertToHex, VARIANT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    bool hex = false;
    if (!readSwitch(convertToHex, hex)) {
        return E_INVALIDARG;
    }
    // The result is an [out] argument: whatever it holds on entry is not ours to free (a caller
    // may pass it uninitialized), so it is initialized, as every other getter of the library does.
    VariantInit(result);
    try {
        if (carriedArray(value) == nullptr) {
            return scalarToString(value, hex, result);
        }
        return bytesToString(value, hex, result);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace pavlox
