// CP11Session: one PKCS#11 session opened through a Pkcs11Lib (created by the library, never by
// clients). It holds its library, so the module stays loaded while the session object lives.
#pragma once

#include <mutex>

#include "frame/object_root.h"
#include "pavlox_interfaces.h"
#include "pkcs11/pkcs11.h"

namespace pavlox {

class CPkcs11Lib;

class CP11Session final : public ObjectRoot, public IP11Session, public ISupportErrorInfo {
  public:
    explicit CP11Session(IUnknown* outer);
    ~CP11Session() override;

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IP11Session, kIP11Session)
    PAVLOX_SUPPORTERRORINFO(IID_IP11Session)

    HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE get_Logged(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE Login(BSTR pin, VARIANT_BOOL loginAsSO) override;
    HRESULT STDMETHODCALLTYPE Logout() override;
    HRESULT STDMETHODCALLTYPE FindObjects(VARIANT searchParams, VARIANT* searchResult) override;
    HRESULT STDMETHODCALLTYPE SetPIN(BSTR oldPin, BSTR newPin) override;
    HRESULT STDMETHODCALLTYPE InitPIN(BSTR newPin) override;
    HRESULT STDMETHODCALLTYPE ImportP12File(BSTR id, BSTR label, BSTR path, BSTR password) override;

    // Binds the session to its library (taking a reference, dropping one to a previous library)
    // and to the module's session handle. Called once, right after creation.
    void bind(CPkcs11Lib* library, CK_SESSION_HANDLE handle);
    CPkcs11Lib* library() const { return library_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

  private:
    void* interfaceFor(REFIID riid) override;
    // True when the library is attached and initialized and the module knows the handle. Both
    // locks are held.
    bool probe();

    std::recursive_mutex lock_;      // taken before the library's lock, never after it
    CPkcs11Lib* library_ = nullptr;  // counted reference
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

}  // namespace pavlox
