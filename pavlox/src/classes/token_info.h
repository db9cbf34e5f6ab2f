// CTokenInfo: a value object holding a token's description, read through ITokenInfo.
#pragma once

#include <array>

#include "frame/object_root.h"
#include "pavlox_interfaces.h"

namespace pavlox {

// The fields of a token description that ITokenInfo exposes, as fixed-width blank-padded bytes.
struct TokenText {
    std::array<BYTE, 32> label{};
    std::array<BYTE, 32> manufacturerId{};
    std::array<BYTE, 16> model{};
    std::array<BYTE, 16> serialNumber{};
    ULONG flags = 0;
};

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

    // Filled once by the library before the object is handed out; never changed afterwards.
    void assign(const TokenText& text) { text_ = text; }

  private:
    void* interfaceFor(REFIID riid) override;

    TokenText text_;  // a freshly created object holds zeros
};

}  // namespace pavlox
