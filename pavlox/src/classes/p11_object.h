// CP11Object: one token object found by a session (created by the library, never by clients):
// reads and writes its attributes and signs with it when it is a private key.
#pragma once

#include <mutex>

#include "classes/p11_attribute.h"
#include "frame/object_root.h"
#include "pavlox_interfaces.h"
#include "pkcs11/pkcs11.h"

namespace pavlox {

class CP11Session;

class CP11Object final : public ObjectRoot,
                         public IP11Object,
                         public ISupportErrorInfo,
                         public AttributeOwner {
  public:
    explicit CP11Object(IUnknown* outer);
    ~CP11Object() override;

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IP11Object, kIP11Object)
    PAVLOX_SUPPORTERRORINFO(IID_IP11Object)

    HRESULT STDMETHODCALLTYPE GetAttributeValue(VARIANT wanted, VARIANT_BOOL stopOnNotFound,
                                                VARIANT* attributes) override;
    HRESULT STDMETHODCALLTYPE SetAttributeValue(VARIANT newAttributes) override;
    HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE Sign(VARIANT dataToSign, VARIANT* signature) override;

    // --- Internal operations of the library ---

    // Binds the object to the session that found it (taking a reference) and to its handle.
    // Called once, before the object is handed out.
    void bind(CP11Session* session, CK_OBJECT_HANDLE handle);
    CP11Session* session() const { return session_; }
    CK_OBJECT_HANDLE handle() const { return handle_; }
    // Whether the calling frame also holds the session's chain; read only with the lock held.
    bool parentLockHeld() const { return parentHolds_ > 0; }

    // AttributeOwner: the attributes read from this object keep it alive and lock through it.
    IUnknown* ownerUnknown() override { return innerUnknown(); }
    void lockChain() override;
    void unlockChain() override;

    // The mechanism Sign uses: PKCS#1 v1.5 over data the client prepared (a DigestInfo).
    static constexpr CK_MECHANISM_TYPE kSignMechanism = CKM_RSA_PKCS;

  private:
    class Frame;

    void* interfaceFor(REFIID riid) override;

    std::recursive_mutex lock_;       // taken before the session's chain, never after it
    CP11Session* session_ = nullptr;  // counted reference
    CK_OBJECT_HANDLE handle_ = CK_INVALID_HANDLE;
    int parentHolds_ = 0;  // frames of the lock holder that also hold the session's chain
};

}  // namespace pavlox
