// CP11Session: the guarded-call frame (session lock, then library lock), the validity probe,
// login and logout, PIN changes, the object search and the PKCS#12 import.
#include "classes/p11_session.h"

#include <algorithm>
#include <new>

#include "classes/p11_object.h"
#include "classes/pkcs11_lib.h"
#include "classes/variant_collection.h"
#include "convert/ansi_bytes.h"
#include "convert/attribute_list.h"
#include "convert/p12_import.h"
#include "convert/secure_bytes.h"

namespace pavlox {

namespace {

using vantor::pkcs11::HresultFromRv;
using vantor::pkcs11::kHrCryptokiNotInitialized;
using vantor::pkcs11::kHrFunctionNotSupported;
using vantor::pkcs11::kHrSessionHandleInvalid;

// A PIN as the module takes it: the UTF-8 bytes of the text (the suite's "ANSI" form) in wiping
// storage. The length handed to the module is this byte count: a count of characters would cut
// a non-ASCII PIN short. A null BSTR is an empty PIN.
using PinBytes = AnsiBytes;

// Whether FindObjects accepts its argument: an array (on the value, or on the VARIANT a
// VT_BYREF | VT_VARIANT refers to), or a value whose type number is odd, directly or through
// such a reference. The odd types are the long-standing way to ask for everything: Null, and
// also Nothing (VT_DISPATCH) or a number, which scripts pass for "no template".
bool acceptedSearch(const VARIANT& v, bool* hasArray) {
    *hasArray = false;
    const VARIANT* inner = nullptr;
    if (v.vt == (VT_BYREF | VT_VARIANT)) {
        inner = v.pvarVal;  // a null reference carries nothing and is refused below
    }
    if ((v.vt & VT_ARRAY) != 0 || (inner != nullptr && (inner->vt & VT_ARRAY) != 0)) {
        *hasArray = true;
        return true;
    }
    return (v.vt & 1) != 0 || (inner != nullptr && (inner->vt & 1) != 0);
}

}  // namespace

// The frame of every member: the session's chain is held from construction to destruction.
class CP11Session::Frame final {
  public:
    explicit Frame(CP11Session& session) : session_(session) { session_.lockChain(); }
    ~Frame() { session_.unlockChain(); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

  private:
    CP11Session& session_;
};

CP11Session::CP11Session(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

// Releasing the last reference leaves the token session open: it ends with Close, with the
// module's finalization or with the process. Clients rely on this: the login state of a token
// belongs to the application's sessions together, and closing a released session could log
// out a client that still works through another one.
CP11Session::~CP11Session() {
    if (library_ != nullptr) {
        library_->Release();
    }
}

void* CP11Session::interfaceFor(REFIID riid) {
    if (riid == IID_IP11Session || riid == IID_IDispatch) {
        return static_cast<IP11Session*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    return nullptr;
}

void CP11Session::bind(CPkcs11Lib* library, CK_SESSION_HANDLE handle) {
    std::lock_guard own(lock_);
    if (library != nullptr) {
        library->AddRef();
    }
    if (library_ != nullptr) {
        library_->Release();
    }
    library_ = library;
    handle_ = handle;
}

void CP11Session::lockChain() {
    lock_.lock();
    if (library_ != nullptr) {
        library_->lock().lock();
        ++parentHolds_;
    }
}

void CP11Session::unlockChain() {
    // library_ cannot change while the session lock is held (bind takes it too), so the library
    // unlocked here is the one lockChain locked.
    if (parentHolds_ > 0) {
        --parentHolds_;
        library_->lock().unlock();
    }
    lock_.unlock();
}

CK_FUNCTION_LIST_PTR CP11Session::functions() const {
    return library_ != nullptr ? library_->functions() : nullptr;
}

bool CP11Session::probe() const {
    CK_FUNCTION_LIST_PTR f = functions();
    if (f == nullptr || f->C_GetSessionInfo == nullptr) {
        return false;
    }
    CK_SESSION_INFO info{};
    return f->C_GetSessionInfo(handle_, &info) == CKR_OK;
}

HRESULT CP11Session::preChecks(CK_FUNCTION_LIST_PTR* f) const {
    if (library_ == nullptr) {
        return E_UNEXPECTED;
    }
    *f = library_->functions();
    return *f != nullptr ? S_OK : kHrCryptokiNotInitialized;
}

template <typename Entry>
HRESULT CP11Session::liveSessionChecks(Entry CK_FUNCTION_LIST::*entry,
                                       CK_FUNCTION_LIST_PTR* f) const {
    const HRESULT hr = preChecks(f);
    if (FAILED(hr)) {
        return hr;
    }
    if (!probe()) {
        return kHrSessionHandleInvalid;
    }
    return (*f)->*entry != nullptr ? S_OK : kHrFunctionNotSupported;
}

HRESULT CP11Session::get_Valid(VARIANT_BOOL* result) {
    Frame frame(*this);
    if (result != nullptr && library_ != nullptr && library_->initialized()) {
        *result = probe() ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return remember(S_OK);
}

HRESULT CP11Session::Close() {
    Frame frame(*this);
    CK_FUNCTION_LIST_PTR f = functions();
    if (f != nullptr && f->C_CloseSession != nullptr) {
        f->C_CloseSession(handle_);  // the module's answer does not matter: the handle is gone
        handle_ = CK_INVALID_HANDLE;
    }
    return remember(S_OK);
}

HRESULT CP11Session::get_Logged(VARIANT_BOOL* result) {
    Frame frame(*this);
    CK_FUNCTION_LIST_PTR f = nullptr;
    HRESULT hr = preChecks(&f);
    if (FAILED(hr)) {
        return remember(hr);
    }
    if (result == nullptr) {
        return remember(E_INVALIDARG);
    }
    if (f->C_GetSessionInfo == nullptr) {
        return remember(kHrFunctionNotSupported);
    }
    CK_SESSION_INFO info{};
    const CK_RV rv = f->C_GetSessionInfo(handle_, &info);
    if (rv != CKR_OK) {
        return remember(HresultFromRv(rv));
    }
    const bool logged = info.state == CKS_RO_USER_FUNCTIONS ||
                        info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RW_SO_FUNCTIONS;
    *result = logged ? VARIANT_TRUE : VARIANT_FALSE;
    return remember(S_OK);
}

HRESULT CP11Session::Login(BSTR pin, VARIANT_BOOL loginAsSO) {
    try {
        PinBytes bytes(pin);
        Frame frame(*this);
        CK_FUNCTION_LIST_PTR f = nullptr;
        HRESULT hr = preChecks(&f);
        if (FAILED(hr)) {
            return remember(hr);
        }
        // An empty PIN never reaches the module: some count it as a wrong try.
        if (bytes.size() == 0) {
            return remember(E_INVALIDARG);
        }
        if (f->C_Login == nullptr) {
            return remember(kHrFunctionNotSupported);
        }
        const CK_USER_TYPE user = loginAsSO != VARIANT_FALSE ? CKU_SO : CKU_USER;
        const CK_RV rv = f->C_Login(handle_, user, bytes.data(), bytes.size());
        // Logging in twice is what the client wanted in the first place.
        return remember(rv == CKR_USER_ALREADY_LOGGED_IN ? S_OK : HresultFromRv(rv));
    } catch (const std::bad_alloc&) {
        return remember(E_OUTOFMEMORY);
    }
}

HRESULT CP11Session::Logout() {
    Frame frame(*this);
    CK_FUNCTION_LIST_PTR f = nullptr;
    if (HRESULT hr = liveSessionChecks(&CK_FUNCTION_LIST::C_Logout, &f); FAILED(hr)) {
        return remember(hr);
    }
    return remember(HresultFromRv(f->C_Logout(handle_)));
}

HRESULT CP11Session::SetPIN(BSTR oldPin, BSTR newPin) {
    try {
        // Converted before the locks are taken; a null PIN is an empty one.
        PinBytes oldBytes(oldPin);
        PinBytes newBytes(newPin);
        Frame frame(*this);
        CK_FUNCTION_LIST_PTR f = nullptr;
        if (HRESULT hr = liveSessionChecks(&CK_FUNCTION_LIST::C_SetPIN, &f); FAILED(hr)) {
            return remember(hr);
        }
        return remember(HresultFromRv(f->C_SetPIN(handle_, oldBytes.data(), oldBytes.size(),
                                                  newBytes.data(), newBytes.size())));
    } catch (const std::bad_alloc&) {
        return remember(E_OUTOFMEMORY);
    }
}

HRESULT CP11Session::InitPIN(BSTR newPin) {
    try {
        PinBytes bytes(newPin);
        Frame frame(*this);
        CK_FUNCTION_LIST_PTR f = nullptr;
        if (HRESULT hr = liveSessionChecks(&CK_FUNCTION_LIST::C_InitPIN, &f); FAILED(hr)) {
            return remember(hr);
        }
        // Whether the session must be logged in as security officer is the module's call.
        return remember(HresultFromRv(f->C_InitPIN(handle_, bytes.data(), bytes.size())));
    } catch (const std::bad_alloc&) {
        return remember(E_OUTOFMEMORY);
    }
}

HRESULT CP11Session::FindObjects(VARIANT searchParams, VARIANT* searchResult) {
    if (searchResult == nullptr) {
        return remember(E_POINTER);
    }
    VariantInit(searchResult);
    // The template copies the attributes' values under their own locks, which come before any
    // session or library lock: so it is built first, and its verdict reported after the
    // pre-checks, where the member checks its argument.
    bool hasArray = false;
    const bool accepted = acceptedSearch(searchParams, &hasArray);
    AttributeTemplate search;
    HRESULT argument = accepted ? S_OK : E_INVALIDARG;
    if (accepted && hasArray) {
        argument = search.build(searchParams, ListElements::AttributesOnly);
    }

    Frame frame(*this);
    CK_FUNCTION_LIST_PTR f = nullptr;
    HRESULT hr = preChecks(&f);
    if (FAILED(hr)) {
        return remember(hr);
    }
    if (FAILED(argument)) {
        return remember(argument);
    }
    if (f->C_FindObjectsInit == nullptr || f->C_FindObjects == nullptr ||
        f->C_FindObjectsFinal == nullptr) {
        return remember(kHrFunctionNotSupported);
    }
    CK_RV rv = f->C_FindObjectsInit(handle_, search.data(), search.count());
    if (rv != CKR_OK) {
        return remember(HresultFromRv(rv));
    }
    CK_OBJECT_HANDLE found[kMaxFound];
    CK_ULONG count = 0;
    rv = f->C_FindObjects(handle_, found, kMaxFound, &count);
    // The search is always finished, so the session can search again whatever happened.
    f->C_FindObjectsFinal(handle_);
    if (rv != CKR_OK) {
        return remember(HresultFromRv(rv));
    }
    // A module that reports more handles than the room it was given must not make us read past
    // the list.
    count = std::min(count, kMaxFound);

    CVariantCollection* list = nullptr;
    hr = createInternal(&list);
    if (FAILED(hr)) {
        return remember(hr);
    }
    for (CK_ULONG i = 0; i < count && SUCCEEDED(hr); ++i) {
        CP11Object* object = nullptr;
        hr = createInternal(&object);
        if (FAILED(hr)) {
            break;
        }
        object->bind(this, found[i]);
        VARIANT item;
        VariantInit(&item);
        item.vt = VT_DISPATCH;
        item.pdispVal = static_cast<IP11Object*>(object);
        hr = list->append(item);  // the collection takes its own reference
        object->internalRelease();
    }
    if (FAILED(hr)) {
        list->internalRelease();
        return remember(hr);
    }
    searchResult->vt = VT_UNKNOWN;
    searchResult->punkVal = list->innerUnknown();  // our reference passes to the caller
    return remember(S_OK);
}

// Writes the RSA key and certificate of a PKCS#12 file to the token as a private-key object
// and a certificate object sharing the caller's ID and label. The key is created first; when
// the certificate cannot be created the key is destroyed again, so no half import is left.
HRESULT CP11Session::ImportP12File(BSTR id, BSTR label, BSTR path, BSTR password) {
    try {
        // Converted (and the BIO made) before the locks are taken.
        const AnsiBytes idBytes(id);
        const AnsiBytes labelBytes(label);
        const AnsiBytes pathBytes(path);
        const AnsiBytes passwordBytes(password);
        P12Import import;

        Frame frame(*this);
        // Everything the import holds is freed before the locks are left.
        struct ReleaseFirst {
            P12Import& import;
            ~ReleaseFirst() { import.release(); }
        } releaseFirst{import};

        CK_FUNCTION_LIST_PTR f = nullptr;
        if (HRESULT hr = liveSessionChecks(&CK_FUNCTION_LIST::C_CreateObject, &f); FAILED(hr)) {
            return remember(hr);
        }
        if (HRESULT hr = import.open(pathBytes.c_str()); FAILED(hr)) {
            return remember(hr);
        }
        if (HRESULT hr = import.read(passwordBytes.c_str()); FAILED(hr)) {
            return remember(hr);
        }
        import.buildTemplates({idBytes.data(), idBytes.size()},
                              {labelBytes.data(), labelBytes.size()});

        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        CK_RV rv =
            f->C_CreateObject(handle_, import.keyTemplate(), P12Import::kKeyAttributes, &key);
        // The token has the key now (or refused it): no copy of it is kept a moment longer.
        import.wipeKey();
        if (rv != CKR_OK) {
            return remember(HresultFromRv(rv));
        }
        CK_OBJECT_HANDLE cert = CK_INVALID_HANDLE;
        rv = f->C_CreateObject(handle_, import.certTemplate(), P12Import::kCertAttributes, &cert);
        if (rv != CKR_OK) {
            // The result is the certificate's refusal whatever the removal answers.
            if (f->C_DestroyObject != nullptr) {
                f->C_DestroyObject(handle_, key);
            }
            return remember(HresultFromRv(rv));
        }
        return remember(S_OK);
    } catch (const std::bad_alloc&) {
        return remember(E_OUTOFMEMORY);
    }
}

}  // namespace pavlox
