// CPkcs11Lib: the entry object that loads a PKCS#11 module by file name and answers slot, token
// and session requests through the module's function list.
#pragma once

#include <atomic>
#include <mutex>

#include "frame/object_root.h"
#include "pavlox_interfaces.h"
#include "pkcs11/pkcs11.h"
#include "win/libloaderapi.h"

namespace pavlox {

class CPkcs11Lib final : public ObjectRoot,
                         public IPkcs11Lib,
                         public IProvideClassInfo,
                         public ISupportErrorInfo {
  public:
    explicit CPkcs11Lib(IUnknown* outer);
    ~CPkcs11Lib() override;

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IPkcs11Lib, kIPkcs11Lib)
    PAVLOX_PROVIDECLASSINFO(kCPkcs11Lib)
    PAVLOX_SUPPORTERRORINFO(IID_IPkcs11Lib)

    HRESULT STDMETHODCALLTYPE Load(BSTR p11Lib) override;
    HRESULT STDMETHODCALLTYPE Unload() override;
    HRESULT STDMETHODCALLTYPE Initialize() override;
    HRESULT STDMETHODCALLTYPE get_Initialized(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE get_SlotList(VARIANT tokenPresent, VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE OpenSession(LONG slot, VARIANT* newSession) override;
    HRESULT STDMETHODCALLTYPE InitToken(LONG slotId, BSTR pin, BSTR tokenLabel) override;
    HRESULT STDMETHODCALLTYPE get_TokenValid(LONG slotId, VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE get_TokenPresent(LONG slotId, VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE get_TokenInfo(LONG slotId, VARIANT* result) override;

    // For the library's own objects (sessions, objects, attributes). The lock is re-entrant and
    // serializes every module call made through this library; a child takes its own lock first
    // and this one second. functions() is null unless the module is loaded and initialized, and
    // must be read and used under the lock, since Unload on another thread clears it.
    std::recursive_mutex& lock() { return lock_; }
    CK_FUNCTION_LIST_PTR functions() const { return initialized_.load() ? functions_ : nullptr; }
    bool initialized() const { return initialized_.load(); }
    bool foreignInitialized() const { return foreign_; }
    // The result of the latest InitToken, TokenValid, TokenPresent or TokenInfo.
    HRESULT lastResult() const { return lastResult_.load(); }

    // The length of the label buffer handed to C_InitToken; modules read its first 32 bytes.
    static constexpr size_t kLabelBuffer = 128;
    // Room of the slot list handed to C_GetSlotList.
    static constexpr CK_ULONG kMaxSlots = 256;

  private:
    void* interfaceFor(REFIID riid) override;
    // Frees the library and forgets the module; the lock is held.
    void release();
    // The module's entry point `member` when the module is loaded, initialized and offers it;
    // otherwise null, with the code to report (not initialized, or the folded
    // CKR_FUNCTION_NOT_SUPPORTED) in *unavailable. Read and used under the lock.
    template <typename Fn>
    Fn entry(Fn CK_FUNCTION_LIST::*member, HRESULT* unavailable) const {
        CK_FUNCTION_LIST_PTR f = functions();
        if (f == nullptr) {
            *unavailable = vantor::pkcs11::kHrCryptokiNotInitialized;
            return nullptr;
        }
        if (f->*member == nullptr) {
            *unavailable = vantor::pkcs11::HresultFromRv(CKR_FUNCTION_NOT_SUPPORTED);
            return nullptr;
        }
        return f->*member;
    }
    HRESULT remember(HRESULT hr) {
        lastResult_.store(hr);
        return hr;
    }

    std::recursive_mutex lock_;
    HMODULE module_ = nullptr;
    bool foreign_ = false;
    // Read without the lock by Initialized, hence atomic; changed only under the lock.
    std::atomic<bool> initialized_{false};
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    std::atomic<HRESULT> lastResult_{S_OK};
};

}  // namespace pavlox
