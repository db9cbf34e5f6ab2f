// The smart-logon choice: the user's logon certificates and the provider call that marks one.
#include "smart_logon_setup.h"

#include <memory>
#include <string>
#include <utility>

#include "win/errhandlingapi.h"

namespace vantorsetup {

namespace {

// Closes a store on every path.
struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

// Releases a provider context and a key on every path.
struct ProviderScope {
    HCRYPTPROV prov = 0;
    BOOL owned = FALSE;
    HCRYPTKEY key = 0;
    ~ProviderScope() {
        if (key != 0) {
            CryptDestroyKey(key);
        }
        if (prov != 0 && owned) {
            CryptReleaseContext(prov, 0);
        }
    }
};

}  // namespace

CertificateList::~CertificateList() {
    release();
}

CertificateList::CertificateList(CertificateList&& other) noexcept
    : certs_(std::exchange(other.certs_, {})) {}

CertificateList& CertificateList::operator=(CertificateList&& other) noexcept {
    if (this != &other) {
        release();
        certs_ = std::exchange(other.certs_, {});
    }
    return *this;
}

void CertificateList::release() {
    for (PCCERT_CONTEXT cert : certs_) {
        CertFreeCertificateContext(cert);
    }
    certs_.clear();
}

bool isSmartLogonCertificate(PCCERT_CONTEXT cert) {
    // Size query first, then the usage itself.
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(cert, 0, nullptr, &size) || size == 0) {
        return false;
    }
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
    if (!CertGetEnhancedKeyUsage(cert, 0, usage, &size)) {
        return false;
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        const char* oid = usage->rgpszUsageIdentifier[i];
        if (oid != nullptr && std::string(oid) == szOID_KP_SMARTCARD_LOGON) {
            return true;
        }
    }
    return false;
}

CertificateList smartLogonCertificates() {
    CertificateList list;
    Store store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                              CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
    if (!store) {
        return list;
    }
    PCCERT_CONTEXT cert = nullptr;
    while (list.size() < kMaxCertificates &&
           (cert = CertEnumCertificatesInStore(store.get(), cert)) != nullptr) {
        if (isSmartLogonCertificate(cert)) {
            list.add(CertDuplicateCertificateContext(cert));
        }
    }
    // An enumeration stopped early still holds its current context.
    if (cert != nullptr) {
        CertFreeCertificateContext(cert);
    }
    return list;
}

std::string displayName(PCCERT_CONTEXT cert) {
    char name[1025] = {};
    const DWORD n = CertGetNameStringA(cert, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name,
                                       static_cast<DWORD>(sizeof name));
    return n > 1 ? std::string(name) : std::string();
}

DWORD markForSmartLogon(PCCERT_CONTEXT cert) {
    ProviderScope scope;
    DWORD keySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &scope.prov, &keySpec, &scope.owned) ||
        !CryptGetUserKey(scope.prov, keySpec, &scope.key) ||
        !CryptSetKeyParam(scope.key, KP_SMARTLOGON, nullptr, 0)) {
        // Read before the scope releases the key and the context.
        return GetLastError();
    }
    return 0;
}

}  // namespace vantorsetup
