// CPkcs11Lib: the entry object that binds a PKCS#11 module (frame only; see pkcs11_lib.cpp).
#pragma once

#include "frame/object_root.h"
#include "pavlox_interfaces.h"

namespace pavlox {

class CPkcs11Lib final : public ObjectRoot,
                         public IPkcs11Lib,
                         public IProvideClassInfo,
                         public ISupportErrorInfo {
  public:
    explicit CPkcs11Lib(IUnknown* outer);

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IPkcs11Lib, kIPkcs11Lib)
    PAVLOX_PROVIDECLASSINFO(kCPkcs11Lib)
    PAVLOX_SUPPORTERRORINFO(IID_IPkcs11Lib)

    HRESULT STDMETHODCALLTYPE Load(BSTR p11Lib) override;
    HRESULT STDMETHODCALLTYPE Unload() override;
    HRESULT STDMETHODCALLTYPE Initialize() override;
    HRESULT STDMETHODCALLTYPE get_Initialized(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE get_SlotList(VARIANT tokenPresent, VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE OpenSession(LONG slot, VARIANT* newSession) override;
    HRESULT STDMETHODCALLTYPE InitToken(LONG slotId, BSTR pin, BSTR tokenLabel) override;
    HRESULT STDMETHODCALLTYPE get_TokenValid(LONG slotId, VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE get_TokenPresent(LONG slotId, VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE get_TokenInfo(LONG slotId, VARIANT* result) override;

  private:
    void* interfaceFor(REFIID riid) override;
};

}  // namespace pavlox
