// CP11Session: one PKCS#11 session (frame only; created by the library, never by clients).
#pragma once

#include "frame/object_root.h"
#include "pavlox_interfaces.h"

namespace pavlox {

class CP11Session final : public ObjectRoot, public IP11Session, public ISupportErrorInfo {
  public:
    explicit CP11Session(IUnknown* outer);

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

  private:
    void* interfaceFor(REFIID riid) override;
};

}  // namespace pavlox
