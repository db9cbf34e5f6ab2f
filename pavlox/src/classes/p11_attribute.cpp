// CP11Attribute: interfaces, lifetime and the attribute type. Values and their conversions are
// the attribute work still to come (E_NOTIMPL); an attribute without a value is not valid.
#include "classes/p11_attribute.h"

namespace pavlox {

CP11Attribute::CP11Attribute(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

void* CP11Attribute::interfaceFor(REFIID riid) {
    if (riid == IID_IP11Attribute || riid == IID_IDispatch) {
        return static_cast<IP11Attribute*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    return nullptr;
}

HRESULT CP11Attribute::get_Type(LONG* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = static_cast<LONG>(type_);
    return S_OK;
}

HRESULT CP11Attribute::put_Type(LONG type) {
    type_ = static_cast<ULONG>(type);
    return S_OK;
}

HRESULT CP11Attribute::get_Valid(VARIANT_BOOL* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = VARIANT_FALSE;
    return S_OK;
}

HRESULT CP11Attribute::get_ValueRaw(VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CP11Attribute::put_ValueRaw(VARIANT) {
    return E_NOTIMPL;
}
HRESULT CP11Attribute::put_ValueSafe(LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CP11Attribute::get_Value(VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CP11Attribute::get_ValueStr(BSTR*) {
    return E_NOTIMPL;
}

}  // namespace pavlox
