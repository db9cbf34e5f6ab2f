// CP11Object: one token object (frame only; created by the library, never by clients).
#pragma once

#include "frame/object_root.h"
#include "pavlox_interfaces.h"

namespace pavlox {

class CP11Object final : public ObjectRoot, public IP11Object, public ISupportErrorInfo {
  public:
    explicit CP11Object(IUnknown* outer);

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IP11Object, kIP11Object)
    PAVLOX_SUPPORTERRORINFO(IID_IP11Object)

    HRESULT STDMETHODCALLTYPE GetAttributeValue(VARIANT wanted, VARIANT_BOOL stopOnNotFound,
                                                VARIANT* attributes) override;
    HRESULT STDMETHODCALLTYPE SetAttributeValue(VARIANT newAttributes) override;
    HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE Sign(VARIANT dataToSign, VARIANT* signature) override;

  private:
    void* interfaceFor(REFIID riid) override;
};

}  // namespace pavlox
