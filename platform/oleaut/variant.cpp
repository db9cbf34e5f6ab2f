// VARIANT lifetime: VariantInit, VariantClear, VariantCopy, VariantCopyInd.
#include <cstring>

#include "win/oleauto.h"

namespace {

// The base types a VARIANT may hold by value, by reference or as an array element.
bool knownBase(VARTYPE base) {
    return (base <= VT_DECIMAL && base != 15) || (base >= VT_I1 && base <= VT_UINT) ||
           base == VT_RECORD;
}

}  // namespace

namespace vantor::ole {

bool validVariantType(VARTYPE vt) {
    VARTYPE base = vt & VT_TYPEMASK;
    if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) {
        return false;
    }
    if (!knownBase(base)) {
        return false;
    }
    if ((vt & (VT_ARRAY | VT_BYREF)) && (base == VT_EMPTY || base == VT_NULL)) {
        return false;
    }
    return true;
}

}  // namespace vantor::ole

void VariantInit(VARIANTARG* v) {
    if (v != nullptr) {
        std::memset(v, 0, sizeof(VARIANT));
    }
}

HRESULT VariantClear(VARIANTARG* v) {
    if (v == nullptr) {
        return E_INVALIDARG;
    }
    if (!vantor::ole::validVariantType(v->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (!(v->vt & VT_BYREF)) {
        if (v->vt & VT_ARRAY) {
            HRESULT hr = SafeArrayDestroy(v->parray);
            if (FAILED(hr)) {
                return hr;  // a locked array stays where it is
            }
        } else if (v->vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        } else if ((v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) && v->punkVal != nullptr) {
            v->punkVal->Release();
        }
    }
    std::memset(v, 0, sizeof(VARIANT));
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source) {
    if (dest == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (dest == source) {
        return S_OK;
    }
    if (!vantor::ole::validVariantType(source->vt)) {
        return DISP_E_BADVARTYPE;
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy;
    std::memcpy(&copy, source, sizeof(VARIANT));
    if (!(source->vt & VT_BYREF)) {
        if (source->vt & VT_ARRAY) {
            hr = SafeArrayCopy(source->parray, &copy.parray);
            if (FAILED(hr)) {
                return hr;
            }
        } else if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source->bstrVal),
                                                 SysStringByteLen(source->bstrVal));
            if (copy.bstrVal == nullptr) {
                return E_OUTOFMEMORY;
            }
        } else if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) &&
                   source->punkVal != nullptr) {
            source->punkVal->AddRef();
        }
    }
    std::memcpy(dest, &copy, sizeof(VARIANT));
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* source) {
    if (dest == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (!(source->vt & VT_BYREF)) {
        return VariantCopy(dest, source);
    }
    if (!vantor::ole::validVariantType(source->vt) || source->byref == nullptr) {
        return E_INVALIDARG;
    }
    VARIANT value;
    VariantInit(&value);
    VARTYPE base = source->vt & ~VT_BYREF;
    if (base == VT_VARIANT) {
        // One level only: a by-reference VARIANT may not itself refer to another VARIANT.
        if (source->pvarVal->vt == (VT_BYREF | VT_VARIANT)) {
            return E_INVALIDARG;
        }
        HRESULT hr = VariantCopyInd(&value, source->pvarVal);
        if (FAILED(hr)) {
            return hr;
        }
    } else {
        value.vt = base;
        if (base & VT_ARRAY) {
            value.parray = *source->pparray;
        } else if (base == VT_DECIMAL) {
            std::memcpy(&value.decVal, source->pdecVal, sizeof(DECIMAL));
            value.vt = VT_DECIMAL;
        } else {
            size_t size = 0;
            switch (base) {
                case VT_I1:
                case VT_UI1:
                    size = 1;
                    break;
                case VT_I2:
                case VT_UI2:
                case VT_BOOL:
                    size = 2;
                    break;
                case VT_I4:
                case VT_UI4:
                case VT_INT:
                case VT_UINT:
                case VT_R4:
                case VT_ERROR:
                    size = 4;
                    break;
                case VT_I8:
                case VT_UI8:
                case VT_R8:
                case VT_CY:
                case VT_DATE:
                    size = 8;
                    break;
                case VT_BSTR:
                case VT_UNKNOWN:
                case VT_DISPATCH:
                    size = sizeof(void*);
                    break;
                default:
                    return DISP_E_BADVARTYPE;
            }
            std::memcpy(&value.llVal, source->byref, size);
        }
        // value borrows from the reference; VariantCopy makes the owned copy.
        VARIANT owned;
        VariantInit(&owned);
        HRESULT hr = VariantCopy(&owned, &value);
        if (FAILED(hr)) {
            return hr;
        }
        value = owned;
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&value);
        return hr;
    }
    *dest = value;
    return S_OK;
}
