// The working template of an attribute read and its buffers.
#include "convert/read_template.h"

namespace pavlox {

HRESULT ReadTemplate::reset(const AttributeTemplate& wanted) {
    try {
        entries_.assign(wanted.count(), CK_ATTRIBUTE{0, nullptr, 0});
        buffers_.clear();
        buffers_.resize(wanted.count());
    } catch (...) {
        entries_.clear();
        buffers_.clear();
        return E_OUTOFMEMORY;
    }
    for (size_t k = 0; k < entries_.size(); ++k) {
        entries_[k].type = wanted[k].type;
    }
    return S_OK;
}

HRESULT ReadTemplate::allocate(size_t k) {
    CK_ATTRIBUTE& e = entries_[k];
    buffers_[k].wipe();
    e.pValue = nullptr;
    if (e.ulValueLen == 0 || vantor::pkcs11::IsUnavailableLength(e.ulValueLen)) {
        return S_OK;
    }
    try {
        buffers_[k].resize(e.ulValueLen);
    } catch (...) {
        // A module that reports a length no memory can hold is refused, not trusted.
        return E_OUTOFMEMORY;
    }
    e.pValue = buffers_[k].data();
    return S_OK;
}

HRESULT ReadTemplate::allocate() {
    for (size_t k = 0; k < entries_.size(); ++k) {
        HRESULT hr = allocate(k);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
}

HRESULT ReadTemplate::checkLengths() const {
    for (size_t k = 0; k < entries_.size(); ++k) {
        const CK_ATTRIBUTE& e = entries_[k];
        if (e.pValue != nullptr && !vantor::pkcs11::IsUnavailableLength(e.ulValueLen) &&
            e.ulValueLen > buffers_[k].size()) {
            return E_UNEXPECTED;
        }
    }
    return S_OK;
}

}  // namespace pavlox
