// CTokenInfo: a value object holding a copy of a token's CK_TOKEN_INFO, read through ITokenInfo.
#pragma once

#include "frame/object_root.h"
#include "pavlox_interfaces.h"
#include "pkcs11/pkcs11.h"

namespace pavlox {

class CTokenInfo final : public ObjectRoot, public ITokenInfo, public IProvideClassInfo {
  public:
    explicit CTokenInfo(IUnknown* outer);

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(ITokenInfo, kITokenInfo)
    PAVLOX_PROVIDECLASSINFO(kCTokenInfo)

    HRESULT STDMETHODCALLTYPE get_Label(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_ManufacturerID(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_Model(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_SerialNumber(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_Flags(LONG* result) override;

    // Filled once by the library before the object is handed out and never changed afterwards,
    // so readers on several threads need no lock. The whole structure is kept, counters and
    // versions included, although only the texts and the flags are exposed.
    void assign(const CK_TOKEN_INFO& info) { info_ = info; }
    const CK_TOKEN_INFO& info() const { return info_; }

  private:
    void* interfaceFor(REFIID riid) override;

    CK_TOKEN_INFO info_{};  // a freshly created object holds zeros
};

}  // namespace pavlox
