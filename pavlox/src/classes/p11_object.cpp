// CP11Object: the object's frame (own lock, then its session's chain) and its members: attribute
// reads by the length-query protocol, attribute writes, the validity check and signing.
#include "classes/p11_object.h"

#include <new>

#include "classes/p11_session.h"
#include "convert/array_bytes.h"
#include "convert/attribute_list.h"
#include "convert/read_template.h"
#include "convert/secure_bytes.h"
#include "convert/sign_data.h"

namespace pavlox {

namespace {

using vantor::pkcs11::HresultFromRv;
using vantor::pkcs11::kHrFunctionNotSupported;

// A read of several attributes at once may answer CKR_ATTRIBUTE_TYPE_INVALID and still fill the
// others: the missing ones are marked unavailable and become attributes that are not valid.
bool readAccepted(CK_RV rv) {
    return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID;
}

}  // namespace

// The frame of every member: the object's chain is held from construction to destruction, and
// the pre-check tells whether the object can reach the module at all.
class CP11Object::Frame final {
  public:
    explicit Frame(CP11Object& object) : object_(object) { object_.lockChain(); }
    ~Frame() { object_.unlockChain(); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // The module's function list, or E_UNEXPECTED when the object has no session or the session
    // no longer answers (closed, its library unloaded).
    HRESULT reach(CK_FUNCTION_LIST_PTR* f) const {
        CP11Session* session = object_.session_;
        if (session == nullptr || !session->probe()) {
            return E_UNEXPECTED;
        }
        *f = session->functions();
        return S_OK;
    }

  private:
    CP11Object& object_;
};

CP11Object::CP11Object(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

CP11Object::~CP11Object() {
    if (session_ != nullptr) {
        session_->Release();
    }
}

void* CP11Object::interfaceFor(REFIID riid) {
    if (riid == IID_IP11Object || riid == IID_IDispatch) {
        return static_cast<IP11Object*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    return nullptr;
}

void CP11Object::bind(CP11Session* session, CK_OBJECT_HANDLE handle) {
    std::lock_guard own(lock_);
    if (session != nullptr) {
        session->AddRef();
    }
    if (session_ != nullptr) {
        session_->Release();
    }
    session_ = session;
    handle_ = handle;
}

void CP11Object::lockChain() {
    lock_.lock();
    if (session_ != nullptr) {
        session_->lockChain();
        ++parentHolds_;
    }
}

void CP11Object::unlockChain() {
    // session_ cannot change while the object's lock is held (bind takes it too).
    if (parentHolds_ > 0) {
        --parentHolds_;
        session_->unlockChain();
    }
    lock_.unlock();
}

HRESULT CP11Object::GetAttributeValue(VARIANT wanted, VARIANT_BOOL stopOnNotFound,
                                      VARIANT* attributes) {
    if (attributes == nullptr) {
        return E_POINTER;
    }
    VariantInit(attributes);
    try {
        // Attribute locks come before ours: the list is read before the frame is entered.
        AttributeTemplate types;
        const HRESULT argument = types.build(wanted);

        Frame frame(*this);
        CK_FUNCTION_LIST_PTR f = nullptr;
        HRESULT hr = frame.reach(&f);
        if (FAILED(hr)) {
            return hr;
        }
        if (FAILED(argument)) {
            return argument;
        }
        if (types.empty()) {
            return E_INVALIDARG;
        }
        if (f->C_GetAttributeValue == nullptr) {
            return kHrFunctionNotSupported;
        }
        CK_SESSION_HANDLE session = session_->handle();
        ReadTemplate read;
        hr = read.reset(types);
        if (FAILED(hr)) {
            return hr;
        }
        if (stopOnNotFound != VARIANT_FALSE) {
            // Entry by entry: the first attribute the object lacks or hides ends the read.
            for (CK_ULONG k = 0; k < read.count(); ++k) {
                CK_RV rv = f->C_GetAttributeValue(session, handle_, read.entry(k), 1);
                if (rv != CKR_OK) {
                    return HresultFromRv(rv);
                }
                hr = read.allocate(k);
                if (FAILED(hr)) {
                    return hr;
                }
                rv = f->C_GetAttributeValue(session, handle_, read.entry(k), 1);
                if (rv != CKR_OK) {
                    return HresultFromRv(rv);
                }
            }
        } else {
            // All at once: one length query, then one read into buffers of the reported sizes.
            CK_RV rv = f->C_GetAttributeValue(session, handle_, read.data(), read.count());
            if (!readAccepted(rv)) {
                return HresultFromRv(rv);
            }
            hr = read.allocate();
            if (FAILED(hr)) {
                return hr;
            }
            rv = f->C_GetAttributeValue(session, handle_, read.data(), read.count());
            if (!readAccepted(rv)) {
                return HresultFromRv(rv);
            }
        }
        hr = read.checkLengths();
        if (FAILED(hr)) {
            return hr;
        }
        return attributesFromToken(this, read.data(), read.count(), attributes);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CP11Object::SetAttributeValue(VARIANT newAttributes) {
    try {
        AttributeTemplate values;
        const HRESULT argument = values.build(newAttributes);

        Frame frame(*this);
        CK_FUNCTION_LIST_PTR f = nullptr;
        HRESULT hr = frame.reach(&f);
        if (FAILED(hr)) {
            return hr;
        }
        if (FAILED(argument)) {
            return argument;
        }
        if (values.empty()) {
            return E_INVALIDARG;
        }
        if (f->C_SetAttributeValue == nullptr) {
            return kHrFunctionNotSupported;
        }
        return HresultFromRv(
            f->C_SetAttributeValue(session_->handle(), handle_, values.data(), values.count()));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CP11Object::get_Valid(VARIANT_BOOL* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = VARIANT_FALSE;
    Frame frame(*this);
    CK_FUNCTION_LIST_PTR f = nullptr;
    if (FAILED(frame.reach(&f)) || f->C_GetAttributeValue == nullptr) {
        return S_OK;
    }
    // The object exists exactly when the module can read one of its attributes; CKA_TOKEN is
    // one every object has.
    CK_BBOOL token = CK_FALSE;
    CK_ATTRIBUTE probe{CKA_TOKEN, &token, sizeof(token)};
    if (f->C_GetAttributeValue(session_->handle(), handle_, &probe, 1) == CKR_OK) {
        *result = VARIANT_TRUE;
    }
    return S_OK;
}

HRESULT CP11Object::Sign(VARIANT toSign, VARIANT* signature) {
    if (signature == nullptr) {
        return E_POINTER;
    }
    VariantInit(signature);
    try {
        SecureBytes data;
        const HRESULT argument = dataToSign(toSign, data);

        Frame frame(*this);
        CK_FUNCTION_LIST_PTR f = nullptr;
        HRESULT hr = frame.reach(&f);
        if (FAILED(hr)) {
            return hr;
        }
        if (FAILED(argument)) {
            return argument;
        }
        if (f->C_SignInit == nullptr || f->C_Sign == nullptr) {
            return kHrFunctionNotSupported;
        }
        const CK_SESSION_HANDLE session = session_->handle();
        CK_MECHANISM mechanism{kSignMechanism, nullptr, 0};
        CK_RV rv = f->C_SignInit(session, &mechanism, handle_);
        if (rv != CKR_OK) {
            return HresultFromRv(rv);
        }
        // Signing as given: hashing and the DigestInfo are the client's business.
        CK_BYTE none = 0;
        CK_BYTE_PTR input = data.empty() ? &none : data.data();
        const auto inputLength = static_cast<CK_ULONG>(data.size());
        CK_ULONG length = 0;
        rv = f->C_Sign(session, input, inputLength, nullptr, &length);
        if (rv != CKR_OK) {
            return HresultFromRv(rv);
        }
        // Sized from the module's answer: a length no buffer can hold (the unavailable mark ~0,
        // say) is refused like any failed allocation instead of escaping as an exception.
        SecureBytes out;
        try {
            out.resize(length);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        rv = f->C_Sign(session, input, inputLength, out.empty() ? &none : out.data(), &length);
        if (rv != CKR_OK) {
            return HresultFromRv(rv);
        }
        // A module may answer with fewer bytes than it announced, never with more.
        if (length > out.size()) {
            return E_UNEXPECTED;
        }
        return byteArrayVariant(out.data(), length, signature);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace pavlox
