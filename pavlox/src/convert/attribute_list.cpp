// The attribute-list conversion. Element rules: whole numbers are attribute types; objects must
// be this library's P11Attribute; a VARIANT element holds either. A 64-bit number is narrowed
// when it is a 32-bit type and refused otherwise, since the template's types are 32-bit numbers
// and a cut-down type would ask the module for a different attribute.
#include "convert/attribute_list.h"

#include <cstdint>
#include <cstring>

#include "classes/p11_attribute.h"
#include "convert/array_bytes.h"
#include "convert/attribute_value.h"
#include "pavlox_interfaces.h"

namespace pavlox {

namespace {

bool isIntegerType(VARTYPE vt) {
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

// A whole number as an attribute type: its 32-bit pattern, so the negative VT_I4 of a
// vendor-defined constant is 0x80000000 and up. Numbers outside 32 bits are refused.
HRESULT typeFromNumber(const VARIANT& number, CK_ATTRIBUTE_TYPE& type) {
    long long n = 0;
    if (!wholeNumber(number, n) || n < -0x80000000LL || n > 0xFFFFFFFFLL) {
        return E_INVALIDARG;
    }
    type = static_cast<CK_ATTRIBUTE_TYPE>(static_cast<std::uint32_t>(n));
    return S_OK;
}

// Type and a copy of the value of the attribute object behind unknown.
HRESULT fromObject(IUnknown* unknown, CK_ATTRIBUTE& entry, SecureBytes& value) {
    if (unknown == nullptr) {
        return E_POINTER;
    }
    IP11Attribute* attribute = nullptr;
    if (FAILED(unknown->QueryInterface(IID_IP11Attribute, reinterpret_cast<void**>(&attribute))) ||
        attribute == nullptr) {
        return E_INVALIDARG;
    }
    CP11Attribute* impl = CP11Attribute::implementationOf(attribute);
    attribute->Release();
    if (impl == nullptr) {
        return E_UNEXPECTED;
    }
    HRESULT hr = impl->snapshot(entry.type, value);
    impl->Release();
    return hr;
}

// An element of a VT_VARIANT array: a number or an object, directly or by reference.
HRESULT fromVariant(const VARIANT& element, ListElements elements, CK_ATTRIBUTE& entry,
                    SecureBytes& value) {
    const VARIANT* v = &element;
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
        v = v->pvarVal;
        if (v == nullptr) {
            return E_INVALIDARG;
        }
    }
    VARTYPE base = v->vt & ~VT_BYREF;
    bool byRef = (v->vt & VT_BYREF) != 0;
    if (byRef && v->byref == nullptr) {
        return E_POINTER;
    }
    if (base == VT_UNKNOWN || base == VT_DISPATCH) {
        IUnknown* unknown = byRef ? *v->ppunkVal : v->punkVal;
        return fromObject(unknown, entry, value);
    }
    if (elements == ListElements::TypesOrAttributes && isIntegerType(base) &&
        (v->vt & VT_ARRAY) == 0) {
        VARIANT plain;
        VariantInit(&plain);
        if (FAILED(VariantCopyInd(&plain, v))) {
            return E_INVALIDARG;
        }
        return typeFromNumber(plain, entry.type);  // a number copy owns nothing: no clear needed
    }
    return E_INVALIDARG;
}

}  // namespace

HRESULT AttributeTemplate::build(const VARIANT& list, ListElements elements) {
    entries_.clear();
    values_.clear();
    SAFEARRAY* array = carriedArray(list);
    if (array == nullptr || array->cDims != 1) {
        return E_INVALIDARG;
    }
    size_t n = 0;
    if (!arrayByteCount(list, &n)) {
        return E_INVALIDARG;
    }
    VARTYPE vt = arrayElementType(*array);
    bool objects = vt == VT_VARIANT || vt == VT_UNKNOWN || vt == VT_DISPATCH;
    bool numbers = elements == ListElements::TypesOrAttributes && isIntegerType(vt);
    // Elements of any other type used to become type 0 (CKA_CLASS) entries: asking for a
    // class nobody meant. They are refused instead.
    if ((!objects && !numbers) || !elementSizeMatches(*array, vt)) {
        return E_INVALIDARG;
    }
    if (n == 0) {
        return S_OK;
    }
    ArrayLock lock(array);
    if (!lock.locked() || array->pvData == nullptr) {
        return E_INVALIDARG;
    }
    HRESULT hr = S_OK;
    try {
        entries_.assign(n, CK_ATTRIBUTE{0, nullptr, 0});
        values_.resize(n);
        const BYTE* data = static_cast<const BYTE*>(array->pvData);
        for (size_t k = 0; k < n && SUCCEEDED(hr); ++k) {
            const BYTE* element = data + k * array->cbElements;
            if (vt == VT_VARIANT) {
                hr = fromVariant(*reinterpret_cast<const VARIANT*>(element), elements, entries_[k],
                                 values_[k]);
            } else if (objects) {
                IUnknown* unknown = *reinterpret_cast<IUnknown* const*>(element);
                hr = fromObject(unknown, entries_[k], values_[k]);
            } else {
                VARIANT number;
                VariantInit(&number);
                number.vt = vt;
                std::memcpy(&number.llVal, element, array->cbElements);
                hr = typeFromNumber(number, entries_[k].type);
            }
        }
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        entries_.clear();
        values_.clear();
        return hr;
    }
    for (size_t k = 0; k < n; ++k) {
        entries_[k].pValue = values_[k].empty() ? nullptr : values_[k].data();
        entries_[k].ulValueLen = static_cast<CK_ULONG>(values_[k].size());
    }
    return S_OK;
}

}  // namespace pavlox
