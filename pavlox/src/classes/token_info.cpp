// CTokenInfo: fixed-width token fields turned into texts.
#include "classes/token_info.h"

#include <string>

#include "oleaut/ustring.h"

namespace pavlox {

namespace {

// The field up to its first NUL, trailing blanks removed, from the ANSI code page (UTF-8).
// In UTF-8 a 0x20 byte is always a whole character, so trimming bytes is multibyte-safe.
HRESULT fieldText(const BYTE* field, size_t width, BSTR* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    size_t n = 0;
    while (n < width && field[n] != 0) {
        ++n;
    }
    while (n > 0 && field[n - 1] == 0x20) {
        --n;
    }
    *result = vantor::ole::bstrFromUtf8(std::string(reinterpret_cast<const char*>(field), n));
    return *result != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

CTokenInfo::CTokenInfo(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

void* CTokenInfo::interfaceFor(REFIID riid) {
    if (riid == IID_ITokenInfo || riid == IID_IDispatch) {
        return static_cast<ITokenInfo*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    return nullptr;
}

HRESULT CTokenInfo::get_Label(BSTR* result) {
    return fieldText(text_.label.data(), text_.label.size(), result);
}

HRESULT CTokenInfo::get_ManufacturerID(BSTR* result) {
    return fieldText(text_.manufacturerId.data(), text_.manufacturerId.size(), result);
}

HRESULT CTokenInfo::get_Model(BSTR* result) {
    return fieldText(text_.model.data(), text_.model.size(), result);
}

HRESULT CTokenInfo::get_SerialNumber(BSTR* result) {
    return fieldText(text_.serialNumber.data(), text_.serialNumber.size(), result);
}

HRESULT CTokenInfo::get_Flags(LONG* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = static_cast<LONG>(text_.flags);
    return S_OK;
}

}  // namespace pavlox
