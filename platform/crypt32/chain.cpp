// The certificate path as the stores hold it: each issuer looked up by name and signature.
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "crypt32/cert_details.h"

namespace vantor::crypt32 {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse(const BYTE* der, size_t size) {
    if (der == nullptr || size == 0 || size > 0x7FFFFFFF) {
        return nullptr;
    }
    const unsigned char* p = der;
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(size)));
}

// The first certificate in the stores that issued `child` (names match and its key verifies
// the signature), or empty.
std::vector<BYTE> findIssuer(X509* child) {
    static const char* const kStores[] = {"MY", "CA", "AddressBook", "ROOT"};
    for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
        for (const char* name : kStores) {
            HCERTSTORE store = CertOpenStore(
                CERT_STORE_PROV_SYSTEM_A, 0, 0,
                location | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, name);
            if (store == nullptr) {
                continue;
            }
            std::vector<BYTE> found;
            PCCERT_CONTEXT ctx = nullptr;
            while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
                X509Ptr candidate = parse(ctx->pbCertEncoded, ctx->cbCertEncoded);
                if (candidate && X509_check_issued(candidate.get(), child) == X509_V_OK) {
                    EVP_PKEY* key = X509_get0_pubkey(candidate.get());
                    if (key && X509_verify(child, key) == 1) {
                        found.assign(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
                        CertFreeCertificateContext(ctx);
                        break;
                    }
                }
            }
            CertCloseStore(store, 0);
            if (!found.empty()) {
                return found;
            }
        }
    }
    return {};
}

}  // namespace

std::vector<std::vector<BYTE>> findChain(const BYTE* der, size_t size) {
    std::vector<std::vector<BYTE>> chain;
    X509Ptr current = parse(der, size);
    if (!current) {
        return chain;
    }
    chain.emplace_back(der, der + size);
    constexpr int kMaxLinks = 10;
    for (int i = 0; i < kMaxLinks; ++i) {
        if (X509_check_issued(current.get(), current.get()) == X509_V_OK) {
            break;  // self-issued: the root
        }
        std::vector<BYTE> issuer = findIssuer(current.get());
        if (issuer.empty()) {
            break;
        }
        chain.push_back(issuer);
        current = parse(issuer.data(), issuer.size());
        if (!current) {
            break;
        }
    }
    return chain;
}

}  // namespace vantor::crypt32
