// The data of a signature request as bytes.
#include "convert/sign_data.h"

#include "convert/array_bytes.h"

namespace pavlox {

HRESULT dataToSign(const VARIANT& value, SecureBytes& data) {
    data.wipe();
    const VARIANT* v = &value;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr &&
        (v->pvarVal->vt & ~VT_BYREF) == VT_BSTR) {
        v = v->pvarVal;
    }
    if (v->vt == VT_BSTR || v->vt == (VT_BYREF | VT_BSTR)) {
        if (v->vt == (VT_BYREF | VT_BSTR) && v->pbstrVal == nullptr) {
            return E_INVALIDARG;
        }
        BSTR s = v->vt == VT_BSTR ? v->bstrVal : *v->pbstrVal;
        UINT n = SysStringLen(s);
        bool wide = false;
        for (UINT i = 0; i < n && !wide; ++i) {
            wide = s[i] > 0xFF;
        }
        try {
            data.resize(wide ? size_t{n} * 2 : n);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        for (UINT i = 0; i < n; ++i) {
            if (wide) {
                data[2 * size_t{i}] = static_cast<BYTE>(s[i] & 0xFF);
                data[2 * size_t{i} + 1] = static_cast<BYTE>(s[i] >> 8);
            } else {
                data[i] = static_cast<BYTE>(s[i]);
            }
        }
        return S_OK;
    }
    if (carriedArray(value) == nullptr || !arrayToBytes(value, data)) {
        return E_INVALIDARG;
    }
    return S_OK;
}

}  // namespace pavlox
