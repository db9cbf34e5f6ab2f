// CP11Session: binding to the library, the validity probe and Close. Login, PINs and object
// search are still to come and report E_NOTIMPL.
#include "classes/p11_session.h"

#include "classes/pkcs11_lib.h"

namespace pavlox {

CP11Session::CP11Session(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

// Releasing the last reference leaves the token session open: it ends with Close, with the
// module's finalization or with the process, as clients of the library expect.
CP11Session::~CP11Session() {
    if (library_ != nullptr) {
        library_->Release();
    }
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

void CP11Session::bind(CPkcs11Lib* library, CK_SESSION_HANDLE handle) {
    std::lock_guard own(lock_);
    if (library != nullptr) {
        library->AddRef();
    }
    if (library_ != nullptr) {
        library_->Release();
    }
    library_ = library;
    handle_ = handle;
}

bool CP11Session::probe() {
    CK_FUNCTION_LIST_PTR f = library_ != nullptr ? library_->functions() : nullptr;
    if (f == nullptr || f->C_GetSessionInfo == nullptr) {
        return false;
    }
    CK_SESSION_INFO info{};
    return f->C_GetSessionInfo(handle_, &info) == CKR_OK;
}

HRESULT CP11Session::get_Valid(VARIANT_BOOL* result) {
    std::lock_guard own(lock_);
    if (library_ == nullptr) {
        return S_OK;
    }
    std::lock_guard parent(library_->lock());
    if (result != nullptr && library_->initialized()) {
        *result = probe() ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return S_OK;
}

HRESULT CP11Session::Close() {
    std::lock_guard own(lock_);
    if (library_ == nullptr) {
        return S_OK;
    }
    std::lock_guard parent(library_->lock());
    CK_FUNCTION_LIST_PTR f = library_->functions();
    if (f != nullptr && f->C_CloseSession != nullptr) {
        f->C_CloseSession(handle_);  // the module's answer does not matter: the handle is gone
        handle_ = CK_INVALID_HANDLE;
    }
    return S_OK;
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
