// CTokenInfo: the fixed-width fields of a token description turned into texts.
#include "classes/token_info.h"

#include <string>

#include "oleaut/ustring.h"

namespace pavlox {

namespace {

// The field up to its first NUL, trailing blanks removed, from the ANSI code page (UTF-8).
// In UTF-8 a 0x20 byte is always a whole character, so trimming bytes is multibyte-safe; a
// byte sequence that is not UTF-8 becomes U+FFFD rather than failing the call.
template <size_t N>
HRESULT fieldText(const CK_UTF8CHAR (&field)[N], BSTR* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    try {
        *result = vantor::ole::bstrFromUtf8(vantor::pkcs11::TrimField(field));
    } catch (...) {  // the text could not be allocated; nothing may escape a COM call
    }
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
    return fieldText(info_.label, result);
}

HRESULT CTokenInfo::get_ManufacturerID(BSTR* result) {
    return fieldText(info_.manufacturerID, result);
}

HRESULT CTokenInfo::get_Model(BSTR* result) {
    return fieldText(info_.model, result);
}

HRESULT CTokenInfo::get_SerialNumber(BSTR* result) {
    return fieldText(info_.serialNumber, result);
}

HRESULT CTokenInfo::get_Flags(LONG* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = static_cast<LONG>(info_.flags);
    return S_OK;
}

}  // namespace pavlox
