// CUtil: the stateless utility object (ArrayToString; see util.cpp).
#pragma once

#include "frame/object_root.h"
#include "pavlox_interfaces.h"

namespace pavlox {

// Registered "apartment" and keeps no state, so it neither locks nor aggregates the marshaler.
class CUtil final : public ObjectRoot, public IUtil, public IProvideClassInfo {
  public:
    explicit CUtil(IUnknown* outer) : ObjectRoot(outer) {}

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IUtil, kIUtil)
    PAVLOX_PROVIDECLASSINFO(kCUtil)

    HRESULT STDMETHODCALLTYPE ArrayToString(VARIANT value, VARIANT convertToHex,
                                            VARIANT* result) override;

  private:
    void* interfaceFor(REFIID riid) override;
};

}  // namespace pavlox
