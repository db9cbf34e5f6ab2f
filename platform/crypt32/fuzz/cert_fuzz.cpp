// Fuzzes certificate decoding and everything that reads a decoded certificate (names, usage,
// display text, a memory store): any bytes either decode into a consistent context or fail
// with a decoding code, and nothing reads outside what was given.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypt32/cert_details.h"
#include "win/errhandlingapi.h"
#include "win/wincrypt_certs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the given bytes, so a read past the end is caught.
    std::vector<BYTE> der(data, data + size);
    PCCERT_CONTEXT ctx =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    vantor::crypt32::describeCertificate(der.data(), der.size());
    if (ctx == nullptr) {
        return 0;
    }
    if (ctx->cbCertEncoded > size || ctx->pCertInfo->SerialNumber.cbData == 0) {
        __builtin_trap();
    }
    char name[64];
    for (DWORD type : {CERT_NAME_EMAIL_TYPE, CERT_NAME_SIMPLE_DISPLAY_TYPE,
                       CERT_NAME_FRIENDLY_DISPLAY_TYPE, CERT_NAME_DNS_TYPE, CERT_NAME_URL_TYPE}) {
        CertGetNameStringA(ctx, type, 0, nullptr, name, sizeof(name));
        CertGetNameStringA(ctx, type, CERT_NAME_ISSUER_FLAG, nullptr, name, sizeof(name));
    }
    for (DWORD type : {CERT_SIMPLE_NAME_STR, CERT_OID_NAME_STR,
                       CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG}) {
        CertNameToStrA(X509_ASN_ENCODING, &ctx->pCertInfo->Subject, type, name, sizeof(name));
    }
    DWORD cb = 0;
    if (CertGetEnhancedKeyUsage(ctx, 0, nullptr, &cb)) {
        std::vector<BYTE> usage(cb);
        CertGetEnhancedKeyUsage(ctx, 0, reinterpret_cast<CERT_ENHKEY_USAGE*>(usage.data()), &cb);
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_NEWER, nullptr);
    CertFreeCertificateContext(CertEnumCertificatesInStore(store, nullptr));
    CertCloseStore(store, 0);
    CertFreeCertificateContext(ctx);
    return 0;
}
