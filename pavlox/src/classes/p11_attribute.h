// CP11Attribute: one attribute, type plus value (frame and type only; see p11_attribute.cpp).
#pragma once

#include "frame/object_root.h"
#include "pavlox_interfaces.h"

namespace pavlox {

class CP11Attribute final : public ObjectRoot,
                            public IP11Attribute,
                            public IProvideClassInfo,
                            public ISupportErrorInfo {
  public:
    explicit CP11Attribute(IUnknown* outer);

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IP11Attribute, kIP11Attribute)
    PAVLOX_PROVIDECLASSINFO(kCP11Attribute)
    PAVLOX_SUPPORTERRORINFO(IID_IP11Attribute)

    HRESULT STDMETHODCALLTYPE get_ValueRaw(VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE put_ValueRaw(VARIANT value) override;
    HRESULT STDMETHODCALLTYPE get_Type(LONG* result) override;
    HRESULT STDMETHODCALLTYPE put_Type(LONG type) override;
    HRESULT STDMETHODCALLTYPE put_ValueSafe(LONG attributeType, VARIANT value) override;
    HRESULT STDMETHODCALLTYPE get_Value(VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE get_ValueStr(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) override;

  private:
    void* interfaceFor(REFIID riid) override;

    ULONG type_ = 0;
};

}  // namespace pavlox
