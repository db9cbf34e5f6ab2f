// CryptAcquireCertificatePrivateKey: opens the key's provider context named by the
// certificate's key provider information through the CryptoAPI front end.
#include <string>

#include "exports_common.h"
#include "win/wincrypt.h"

namespace vantor::crypt32 {

namespace {

// CryptAcquireContext flags that key provider information may carry (CRYPT_MACHINE_KEYSET and
// CRYPT_SILENT); its CERT_SET_KEY_*_PROP_ID bit (1) is for crypt32 only.
constexpr DWORD kPassedFlags = CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

HCRYPTPROV acquire(const KeyProvInfo& info, DWORD flags) {
    HCRYPTPROV prov = 0;
    DWORD provFlags =
        (info.flags & kPassedFlags) | ((flags & CRYPT_ACQUIRE_SILENT_FLAG) ? CRYPT_SILENT : 0);
    if (!CryptAcquireContextW(&prov, info.container ? info.container->c_str() : nullptr,
                              info.provider ? info.provider->c_str() : nullptr, info.provType,
                              provFlags)) {
        // The provider's own reason goes back to the caller unchanged.
        throw StoreError{GetLastError()};
    }
    return prov;
}

}  // namespace

}  // namespace vantor::crypt32

using namespace vantor::crypt32;

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void*,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey,
                                       DWORD* pdwKeySpec, BOOL* pfCallerFreeProvOrNCryptKey) {
    if (phCryptProvOrNCryptKey) {
        *phCryptProvOrNCryptKey = 0;
    }
    return guarded<BOOL>(FALSE, [&] {
        CertObject& cert = requireContext(pCert);
        if (phCryptProvOrNCryptKey == nullptr) {
            raise(E_INVALIDARG);
        }
        if (dwFlags & CRYPT_ACQUIRE_ONLY_NCRYPT_KEY_FLAG) {
            // Only CryptoAPI providers exist here.
            raise(NTE_BAD_KEYSET);
        }
        auto raw = contextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID);
        if (!raw) {
            raise(CRYPT_E_NO_KEY_PROPERTY);
        }
        auto info = parseKeyProvInfo(raw->data(), raw->size());
        if (!info) {
            raise(CRYPT_E_NO_KEY_PROPERTY);
        }
        HCRYPTPROV prov = acquire(*info, dwFlags);
        *phCryptProvOrNCryptKey = prov;
        if (pdwKeySpec) {
            *pdwKeySpec = info->keySpec;
        }
        // Nothing is cached on the certificate: the caller always owns the context.
        if (pfCallerFreeProvOrNCryptKey) {
            *pfCallerFreeProvOrNCryptKey = TRUE;
        }
        return TRUE;
    });
}
