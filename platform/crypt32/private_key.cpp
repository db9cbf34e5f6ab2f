// CryptAcquireCertificatePrivateKey: opens the key's provider context named by the
// certificate's key provider information through the CryptoAPI front end.
#include <string>

#include "capi_link.h"
#include "exports_common.h"
#include "text.h"

namespace vantor::crypt32 {

namespace {

// CryptAcquireContext flags that key provider information may carry (CRYPT_MACHINE_KEYSET and
// CRYPT_SILENT); its CERT_SET_KEY_*_PROP_ID bit (1) is for crypt32 only.
constexpr DWORD kPassedFlags = CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

HCRYPTPROV acquire(const KeyProvInfo& info, DWORD flags) {
    HCRYPTPROV prov = 0;
    DWORD provFlags =
        (info.flags & kPassedFlags) | ((flags & CRYPT_ACQUIRE_SILENT_FLAG) ? CRYPT_SILENT : 0);
    if (AcquireContextW w = capiAcquireContextW()) {
        if (!w(&prov, info.container ? info.container->c_str() : nullptr,
               info.provider ? info.provider->c_str() : nullptr, info.provType, provFlags)) {
            throw StoreError{GetLastError()};
        }
        return prov;
    }
    if (AcquireContextA a = capiAcquireContextA()) {
        std::string container = info.container ? utf16ToUtf8(*info.container) : std::string();
        std::string provider = info.provider ? utf16ToUtf8(*info.provider) : std::string();
        if (!a(&prov, info.container ? container.c_str() : nullptr,
               info.provider ? provider.c_str() : nullptr, info.provType, provFlags)) {
            throw StoreError{GetLastError()};
        }
        return prov;
    }
    // This program carries no CryptoAPI front end, so no provider can be reached.
    raise(NTE_PROV_DLL_NOT_FOUND);
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
