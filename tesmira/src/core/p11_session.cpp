// The automation library's session calls behind the PKCS#11 PIN operations.
#include "p11_session.h"

#include "oleaut/ustring.h"
#include "pkcs11_libs.h"
#include "runtime_error.h"
#include "secret_text.h"
#include "win/oleauto.h"

namespace tesmira {

namespace {

// A BSTR copy of a PIN, wiped before it is freed.
class SecretBstr final {
  public:
    explicit SecretBstr(const SecretText& text) : b_(vantor::ole::bstrFromUtf8(text.str())) {
        if (b_ == nullptr) {
            throw RuntimeError(E_OUTOFMEMORY, "Out of memory");
        }
    }
    ~SecretBstr() {
        vantor::secureWipe(b_, SysStringByteLen(b_));
        SysFreeString(b_);
    }
    SecretBstr(const SecretBstr&) = delete;
    SecretBstr& operator=(const SecretBstr&) = delete;
    BSTR get() const { return b_; }

  private:
    BSTR b_;
};

void RequireObject(const void* p) {
    if (p == nullptr) {
        throw RuntimeError(91, "Object variable not set");
    }
}

}  // namespace

P11Session P11Session::Open(const Pkcs11Lib& lib, std::int32_t slot) {
    RequireObject(lib.get());
    VARIANT v;
    VariantInit(&v);
    ThrowIfFailed(lib.get()->OpenSession(slot, &v), "Pkcs11Lib.OpenSession");
    pavlox::IP11Session* session = nullptr;
    HRESULT hr = E_NOINTERFACE;
    if (v.vt == VT_DISPATCH && v.pdispVal != nullptr) {
        hr =
            v.pdispVal->QueryInterface(pavlox::IID_IP11Session, reinterpret_cast<void**>(&session));
    }
    VariantClear(&v);
    if (SUCCEEDED(hr) && session == nullptr) {
        hr = E_NOINTERFACE;
    }
    ThrowIfFailed(hr, "P11Session");
    return P11Session(session);
}

void P11Session::reset() {
    if (p_ != nullptr) {
        std::exchange(p_, nullptr)->Release();
    }
}

bool P11Session::Valid() {
    RequireObject(p_);
    VARIANT_BOOL b = VARIANT_FALSE;
    ThrowIfFailed(p_->get_Valid(&b), "P11Session.Valid");
    return b != VARIANT_FALSE;
}

bool P11Session::Logged() {
    RequireObject(p_);
    VARIANT_BOOL b = VARIANT_FALSE;
    ThrowIfFailed(p_->get_Logged(&b), "P11Session.Logged");
    return b != VARIANT_FALSE;
}

void P11Session::Login(const SecretText& pin, bool asSecurityOfficer) {
    RequireObject(p_);
    SecretBstr b(pin);
    ThrowIfFailed(p_->Login(b.get(), asSecurityOfficer ? VARIANT_TRUE : VARIANT_FALSE),
                  "P11Session.Login");
}

void P11Session::Logout() {
    RequireObject(p_);
    ThrowIfFailed(p_->Logout(), "P11Session.Logout");
}

void P11Session::SetPIN(const SecretText& oldPin, const SecretText& newPin) {
    RequireObject(p_);
    SecretBstr o(oldPin);
    SecretBstr n(newPin);
    ThrowIfFailed(p_->SetPIN(o.get(), n.get()), "P11Session.SetPIN");
}

void P11Session::InitPIN(const SecretText& newPin) {
    RequireObject(p_);
    SecretBstr n(newPin);
    ThrowIfFailed(p_->InitPIN(n.get()), "P11Session.InitPIN");
}

void P11Session::Close() {
    RequireObject(p_);
    ThrowIfFailed(p_->Close(), "P11Session.Close");
}

void P11Session::CleanUp() noexcept {
    if (p_ == nullptr) {
        return;
    }
    try {
        if (Valid()) {
            try {
                if (Logged()) {
                    Logout();
                }
            } catch (const RuntimeError&) {
            }
            Close();
        }
    } catch (const RuntimeError&) {
    }
}

}  // namespace tesmira
