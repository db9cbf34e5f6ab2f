// CPkcs11Lib: creation, interfaces and the state of a library with no module loaded. Loading
// and the module calls are the module-binding work still to come; until then they report
// E_NOTIMPL.
#include "classes/pkcs11_lib.h"

namespace pavlox {

CPkcs11Lib::CPkcs11Lib(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

void* CPkcs11Lib::interfaceFor(REFIID riid) {
    if (riid == IID_IPkcs11Lib || riid == IID_IDispatch) {
        return static_cast<IPkcs11Lib*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    return nullptr;
}

HRESULT CPkcs11Lib::Load(BSTR) {
    return E_NOTIMPL;
}

// Nothing is ever loaded yet, so there is nothing to release.
HRESULT CPkcs11Lib::Unload() {
    return S_OK;
}

HRESULT CPkcs11Lib::Initialize() {
    return E_NOTIMPL;
}

HRESULT CPkcs11Lib::get_Initialized(VARIANT_BOOL* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = VARIANT_FALSE;
    return S_OK;
}

HRESULT CPkcs11Lib::get_SlotList(VARIANT, VARIANT*) {
    return E_NOTIMPL;
}

HRESULT CPkcs11Lib::OpenSession(LONG, VARIANT*) {
    return E_NOTIMPL;
}

HRESULT CPkcs11Lib::InitToken(LONG, BSTR, BSTR) {
    return E_NOTIMPL;
}

HRESULT CPkcs11Lib::get_TokenValid(LONG, VARIANT_BOOL*) {
    return E_NOTIMPL;
}

HRESULT CPkcs11Lib::get_TokenPresent(LONG, VARIANT_BOOL*) {
    return E_NOTIMPL;
}

HRESULT CPkcs11Lib::get_TokenInfo(LONG, VARIANT*) {
    return E_NOTIMPL;
}

}  // namespace pavlox
