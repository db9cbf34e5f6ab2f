// The manager's certificate object over crypt32 and the viewer library.
#include "crypt32/certificate.h"

#include <utility>

#include "crypt32/cert_details.h"

#include "win/cryptuiapi.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winerror.h"

namespace vantor::crypt32 {

namespace {

HRESULT lastErrorAsHresult() {
    DWORD e = GetLastError();
    if (e == 0) {
        return E_FAIL;
    }
    return (e & 0x80000000u) ? static_cast<HRESULT>(e) : HRESULT_FROM_WIN32(e);
}

}  // namespace

Certificate::~Certificate() {
    CertFreeCertificateContext(ctx_);
}

Certificate::Certificate(Certificate&& other) noexcept : ctx_(std::exchange(other.ctx_, nullptr)) {}

Certificate& Certificate::operator=(Certificate&& other) noexcept {
    if (this != &other) {
        CertFreeCertificateContext(ctx_);
        ctx_ = std::exchange(other.ctx_, nullptr);
    }
    return *this;
}

HRESULT Certificate::Import(const std::vector<BYTE>& encoded) {
    PCCERT_CONTEXT ctx =
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.data(),
                                     static_cast<DWORD>(encoded.size()));
    if (ctx == nullptr) {
        return lastErrorAsHresult();
    }
    CertFreeCertificateContext(ctx_);
    ctx_ = ctx;
    return S_OK;
}

std::string Certificate::SubjectName() const {
    if (ctx_ == nullptr) {
        return {};
    }
    return x500Name(ctx_->pCertInfo->Subject);
}

HRESULT Certificate::Display() const {
    if (ctx_ == nullptr) {
        return E_UNEXPECTED;
    }
    // Loaded by name for each use, as the viewer's other callers do.
    HMODULE ui = LoadLibraryA("cryptui.dll");
    if (ui == nullptr) {
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }
    auto view =
        ProcAs<PFN_CryptUIDlgViewCertificateA>(GetProcAddress(ui, "CryptUIDlgViewCertificateA"));
    HRESULT hr = S_OK;
    if (view == nullptr) {
        hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    } else {
        CRYPTUI_VIEWCERTIFICATE_STRUCTA info{};
        info.dwSize = sizeof(info);
        info.pCertContext = ctx_;
        BOOL changed = FALSE;
        if (!view(&info, &changed)) {
            hr = lastErrorAsHresult();
        }
    }
    FreeLibrary(ui);
    return hr;
}

}  // namespace vantor::crypt32
