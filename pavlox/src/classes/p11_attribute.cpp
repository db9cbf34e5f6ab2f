// CP11Attribute: an attribute's type and value, the typed views of the value and the internal
// operations the object uses to hand attributes out and to build templates from them.
#include "classes/p11_attribute.h"

#include <cstdint>

#include "classes/variant_collection.h"
#include "convert/array_bytes.h"
#include "convert/attribute_value.h"

namespace pavlox {

// The frame of every member: the attribute's own lock, then its owner's chain when it has one.
class CP11Attribute::Frame final {
  public:
    explicit Frame(const CP11Attribute& attribute) : attribute_(attribute) {
        attribute_.lock_.lock();
        owner_ = attribute_.owner_;
        if (owner_ != nullptr) {
            owner_->lockChain();
        }
    }
    ~Frame() {
        if (owner_ != nullptr) {
            owner_->unlockChain();
        }
        attribute_.lock_.unlock();
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

  private:
    const CP11Attribute& attribute_;
    AttributeOwner* owner_ = nullptr;
};

namespace {

// Types travel as 32-bit numbers: a negative LONG is the same 32-bit pattern (0x80000000 is
// the vendor-defined base), never sign-extended into the wider CK_ATTRIBUTE_TYPE.
CK_ATTRIBUTE_TYPE typeFromLong(LONG type) {
    return static_cast<CK_ATTRIBUTE_TYPE>(static_cast<std::uint32_t>(type));
}

}  // namespace

CP11Attribute::CP11Attribute(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

CP11Attribute::~CP11Attribute() {
    if (ownerRef_ != nullptr) {
        ownerRef_->Release();
    }
}

void* CP11Attribute::interfaceFor(REFIID riid) {
    if (riid == IID_IP11Attribute || riid == IID_IDispatch) {
        return static_cast<IP11Attribute*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    if (riid == IID_CP11AttributeImpl) {
        return this;
    }
    return nullptr;
}

CP11Attribute* CP11Attribute::implementationOf(IUnknown* object) {
    if (object == nullptr) {
        return nullptr;
    }
    void* impl = nullptr;
    if (FAILED(object->QueryInterface(IID_CP11AttributeImpl, &impl))) {
        return nullptr;
    }
    return static_cast<CP11Attribute*>(impl);
}

void CP11Attribute::clearLocked() {
    value_.wipe();
    value_.shrink_to_fit();
    type_ = 0;
    valid_ = false;
}

void CP11Attribute::clear() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    clearLocked();
}

HRESULT CP11Attribute::initFromToken(AttributeOwner* owner, const CK_ATTRIBUTE& tokenValue) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    IUnknown* newRef = owner != nullptr ? owner->ownerUnknown() : nullptr;
    if (newRef != nullptr) {
        newRef->AddRef();
    }
    if (ownerRef_ != nullptr) {
        ownerRef_->Release();
    }
    ownerRef_ = newRef;
    owner_ = owner;
    clearLocked();
    if (!vantor::pkcs11::IsUnavailableLength(tokenValue.ulValueLen)) {
        if (tokenValue.pValue != nullptr && tokenValue.ulValueLen != 0) {
            try {
                value_.assign(
                    static_cast<const std::uint8_t*>(tokenValue.pValue),
                    static_cast<const std::uint8_t*>(tokenValue.pValue) + tokenValue.ulValueLen);
            } catch (...) {
                return E_OUTOFMEMORY;
            }
        }
        valid_ = true;
    }
    type_ = tokenValue.type;
    return S_OK;
}

HRESULT CP11Attribute::snapshot(CK_ATTRIBUTE_TYPE& type, SecureBytes& value) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    try {
        value.assign(value_.begin(), value_.end());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    type = type_;
    return S_OK;
}

HRESULT CP11Attribute::get_Type(LONG* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    Frame frame(*this);
    *result = static_cast<LONG>(static_cast<std::uint32_t>(type_));
    return S_OK;
}

HRESULT CP11Attribute::put_Type(LONG type) {
    Frame frame(*this);
    type_ = typeFromLong(type);
    return S_OK;
}

HRESULT CP11Attribute::get_Valid(VARIANT_BOOL* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    Frame frame(*this);
    *result = valid_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CP11Attribute::get_ValueRaw(VARIANT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    Frame frame(*this);
    return SUCCEEDED(byteArrayVariant(value_.data(), value_.size(), result)) ? S_OK : E_UNEXPECTED;
}

HRESULT CP11Attribute::put_ValueRaw(VARIANT value) {
    if (carriedArray(value) == nullptr) {
        return E_INVALIDARG;
    }
    // Converted before anything changes, so an array that does not convert leaves the
    // attribute as it was rather than cleared.
    SecureBytes bytes;
    if (!arrayToBytes(value, bytes)) {
        return E_INVALIDARG;
    }
    Frame frame(*this);
    // Raw bytes carry no type: the attribute is cleared first, so Type reads 0 until set again.
    clearLocked();
    value_.swap(bytes);
    valid_ = true;
    return S_OK;
}

HRESULT CP11Attribute::put_ValueSafe(LONG attributeType, VARIANT value) {
    CK_ATTRIBUTE_TYPE type = typeFromLong(attributeType);
    SecureBytes stored;
    HRESULT hr = storedForm(attributeClassOf(type), value, stored);
    if (FAILED(hr)) {
        return hr;
    }
    Frame frame(*this);
    type_ = type;
    value_.swap(stored);  // the previous value is wiped as stored goes
    valid_ = true;
    return S_OK;
}

HRESULT CP11Attribute::get_Value(VARIANT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    Frame frame(*this);
    return typedValue(attributeClassOf(type_), value_.view(), result);
}

HRESULT CP11Attribute::get_ValueStr(BSTR* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    Frame frame(*this);
    return typedText(attributeClassOf(type_), value_.view(), result);
}

HRESULT attributesFromToken(AttributeOwner* owner, const CK_ATTRIBUTE* entries, size_t count,
                            VARIANT* result) {
    if (result == nullptr || (count > 0 && entries == nullptr)) {
        return E_POINTER;
    }
    VariantInit(result);
    CVariantCollection* list = nullptr;
    HRESULT hr = createInternal(&list);
    if (FAILED(hr)) {
        return hr;
    }
    for (size_t k = 0; k < count && SUCCEEDED(hr); ++k) {
        CP11Attribute* attribute = nullptr;
        hr = createInternal(&attribute);
        if (FAILED(hr)) {
            break;
        }
        hr = attribute->initFromToken(owner, entries[k]);
        if (SUCCEEDED(hr)) {
            VARIANT item;
            VariantInit(&item);
            item.vt = VT_DISPATCH;
            item.pdispVal = static_cast<IP11Attribute*>(attribute);
            hr = list->append(item);  // the collection takes its own reference
        }
        attribute->internalRelease();
    }
    if (FAILED(hr)) {
        list->internalRelease();
        return hr;
    }
    result->vt = VT_UNKNOWN;
    result->punkVal = list->innerUnknown();  // our reference passes to the caller
    return S_OK;
}

}  // namespace pavlox
