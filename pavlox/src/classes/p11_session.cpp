// CP11Session: interfaces and lifetime; the session operations are still to come (E_NOTIMPL).
#include "classes/p11_session.h"

namespace pavlox {

CP11Session::CP11Session(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

void* CP11Session::interfaceFor(REFIID riid) {
    if (riid == IID_IP11Session || riid == IID_IDispatch) {
        return static_cast<IP11Session*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    return nullptr;
}

HRESULT CP11Session::get_Valid(VARIANT_BOOL*) {
    return E_NOTIMPL;
}
HRESULT CP11Session::Close() {
    return E_NOTIMPL;
}
HRESULT CP11Session::get_Logged(VARIANT_BOOL*) {
    return E_NOTIMPL;
}
HRESULT CP11Session::Login(BSTR, VARIANT_BOOL) {
    return E_NOTIMPL;
}
HRESULT CP11Session::Logout() {
    return E_NOTIMPL;
}
HRESULT CP11Session::FindObjects(VARIANT, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CP11Session::SetPIN(BSTR, BSTR) {
    return E_NOTIMPL;
}
HRESULT CP11Session::InitPIN(BSTR) {
    return E_NOTIMPL;
}
HRESULT CP11Session::ImportP12File(BSTR, BSTR, BSTR, BSTR) {
    return E_NOTIMPL;
}

}  // namespace pavlox
