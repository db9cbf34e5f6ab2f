// CP11Attribute: one attribute, type plus value, with the typed conversions of its class.
#pragma once

#include <mutex>

#include "convert/secure_bytes.h"
#include "frame/object_root.h"
#include "pavlox_interfaces.h"
#include "pkcs11/pkcs11.h"

namespace pavlox {

// What an attribute needs from the object it was read from. Locks are always taken child before
// parent: the attribute's own lock, then lockChain() of its owner (object, session, library).
class AttributeOwner {
  public:
    // The reference the attribute holds to keep its owner (and the owner's parents) alive.
    virtual IUnknown* ownerUnknown() = 0;
    // Takes the owner's lock and those of its parents; unlockChain() releases them in reverse.
    virtual void lockChain() = 0;
    virtual void unlockChain() = 0;

  protected:
    ~AttributeOwner() = default;
};

// Private identity that only this library's attributes answer; QueryInterface for it yields the
// implementation object itself (with a reference), which tells our attributes from a client's
// own implementation of IP11Attribute.
inline constexpr IID IID_CP11AttributeImpl = {
    0x5E0B6C21, 0x8F1A, 0x4C7D, {0x9A, 0x43, 0x2B, 0x77, 0xD0, 0x61, 0xE5, 0x3C}};

class CP11Attribute final : public ObjectRoot,
                            public IP11Attribute,
                            public IProvideClassInfo,
                            public ISupportErrorInfo {
  public:
    explicit CP11Attribute(IUnknown* outer);
    ~CP11Attribute() override;

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

    // --- Internal operations of the library ---

    // This library's attribute behind object, with a reference the caller releases; null when
    // object is not one (a client's own IP11Attribute, or any other object).
    static CP11Attribute* implementationOf(IUnknown* object);

    // Frees the value and sets type 0, no value, not valid. The owner stays.
    void clear();

    // Sets the attribute from one entry that C_GetAttributeValue filled: owner (held; a previous
    // one is released), then cleared, then the value copied unless the length is the unavailable
    // mark (then not valid), then the type. Call it only on an attribute no other thread can
    // reach yet: it takes the attribute's own lock but not the owner's, since the caller holds
    // those already.
    HRESULT initFromToken(AttributeOwner* owner, const CK_ATTRIBUTE& tokenValue);

    // Copies type and value out under the attribute's own lock, for a template that must not
    // depend on the attribute staying unchanged while a module call runs.
    HRESULT snapshot(CK_ATTRIBUTE_TYPE& type, SecureBytes& value) const;

  private:
    class Frame;

    void* interfaceFor(REFIID riid) override;
    void clearLocked();

    mutable std::recursive_mutex lock_;
    CK_ATTRIBUTE_TYPE type_ = 0;
    SecureBytes value_;  // no value when empty
    bool valid_ = false;
    AttributeOwner* owner_ = nullptr;  // kept alive by ownerRef_
    IUnknown* ownerRef_ = nullptr;
};

// The result of a read: a VariantCollection holding, in the order of entries, one new attribute
// per entry initialized from the token value with owner (an unavailable entry becomes an attribute
// whose Valid is False), each as VT_DISPATCH. result (overwritten, not cleared) receives the
// collection as VT_UNKNOWN. The caller holds owner's chain; on failure result is VT_EMPTY.
HRESULT attributesFromToken(AttributeOwner* owner, const CK_ATTRIBUTE* entries, size_t count,
                            VARIANT* result);

}  // namespace pavlox
