// CP11Session: one PKCS#11 session opened through a Pkcs11Lib (created by the library, never by
// clients): login state, PINs, the object search and the PKCS#12 import. It holds its library, so
// the module stays loaded while the session object lives.
#pragma once

#include <atomic>
#include <mutex>

#include "frame/object_root.h"
#include "pavlox_interfaces.h"
#include "pkcs11/pkcs11.h"

namespace pavlox {

class CPkcs11Lib;

class CP11Session final : public ObjectRoot, public IP11Session, public ISupportErrorInfo {
  public:
    explicit CP11Session(IUnknown* outer);
    ~CP11Session() override;

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IP11Session, kIP11Session)
    PAVLOX_SUPPORTERRORINFO(IID_IP11Session)

    HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE get_Logged(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE Login(BSTR pin, VARIANT_BOOL loginAsSO) override;
    HRESULT STDMETHODCALLTYPE Logout() override;
    HRESULT STDMETHODCALLTYPE FindObjects(VARIANT searchParams, VARIANT* searchResult) override;
    HRESULT STDMETHODCALLTYPE SetPIN(BSTR oldPin, BSTR newPin) override;
    HRESULT STDMETHODCALLTYPE InitPIN(BSTR newPin) override;
    HRESULT STDMETHODCALLTYPE ImportP12File(BSTR id, BSTR label, BSTR path, BSTR password) override;

    // --- Internal operations of the library ---

    // Binds the session to its library (taking a reference, dropping one to a previous library)
    // and to the module's session handle. Called once, right after creation and before the
    // session is handed out, so no frame can be open on it meanwhile.
    void bind(CPkcs11Lib* library, CK_SESSION_HANDLE handle);
    CPkcs11Lib* library() const { return library_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

    // The lock chain of a session: its own lock, then its library's, so every module call of one
    // library is serialized. Children (objects, attributes) take their own lock first and then
    // this chain; nothing ever takes a child's lock while holding these. Re-entrant.
    void lockChain();
    void unlockChain();
    // Whether the calling frame also holds the library's lock; read only with the chain held.
    bool parentLockHeld() const { return parentHolds_ > 0; }

    // The module's function list when a library is attached and initialized, else null.
    // Only with the chain held.
    CK_FUNCTION_LIST_PTR functions() const;
    // True when the library is attached and initialized and the module knows the handle.
    // Only with the chain held.
    bool probe() const;

    // The result of the latest member call (not exposed to clients).
    HRESULT lastResult() const { return lastResult_.load(); }

    // At most this many objects come back from one FindObjects.
    static constexpr CK_ULONG kMaxFound = 256;

  private:
    class Frame;

    void* interfaceFor(REFIID riid) override;
    HRESULT remember(HRESULT hr) {
        lastResult_.store(hr);
        return hr;
    }
    // The common pre-checks of a member: a library attached (else E_UNEXPECTED) and initialized
    // (else 0x80400190). *f receives the function list. Only with the chain held.
    HRESULT preChecks(CK_FUNCTION_LIST_PTR* f) const;
    // The pre-checks of a member that needs a session the module still knows: preChecks, then
    // 0x804000B3 for a closed or unknown handle, then 0x80400054 when the module lacks the
    // entry point. *f receives the function list. Only with the chain held.
    template <typename Entry>
    HRESULT liveSessionChecks(Entry CK_FUNCTION_LIST::*entry, CK_FUNCTION_LIST_PTR* f) const;

    std::recursive_mutex lock_;      // taken before the library's lock, never after it
    CPkcs11Lib* library_ = nullptr;  // counted reference
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
    // How many open frames of the lock holder also hold the library's lock: a count rather than
    // a flag, since frames nest (an object's frame around a session call on the same thread).
    int parentHolds_ = 0;
    std::atomic<HRESULT> lastResult_{S_OK};
};

}  // namespace pavlox
