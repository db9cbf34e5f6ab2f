// CP11Object: interfaces and lifetime; the object operations are still to come (E_NOTIMPL).
#include "classes/p11_object.h"

namespace pavlox {

CP11Object::CP11Object(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

void* CP11Object::interfaceFor(REFIID riid) {
    if (riid == IID_IP11Object || riid == IID_IDispatch) {
        return static_cast<IP11Object*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    return nullptr;
}

HRESULT CP11Object::GetAttributeValue(VARIANT, VARIANT_BOOL, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CP11Object::SetAttributeValue(VARIANT) {
    return E_NOTIMPL;
}
HRESULT CP11Object::get_Valid(VARIANT_BOOL*) {
    return E_NOTIMPL;
}
HRESULT CP11Object::Sign(VARIANT, VARIANT*) {
    return E_NOTIMPL;
}

}  // namespace pavlox
