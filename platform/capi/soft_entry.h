// Internal to the software providers: the CP* entry points (split over soft_entry.cpp and
// soft_keys.cpp) and the helpers their guards share.
#pragma once

#include <string>

#include "capi_error.h"
#include "soft_context.h"

namespace vantor::capi::soft {

// Runs body with the context record locked.
template <typename Body>
BOOL withContext(HCRYPTPROV hProv, Body&& body) noexcept {
    return guarded([&] {
        std::shared_ptr<SoftContext> ctx = findContext(hProv);
        std::lock_guard lock(ctx->mutex);
        body(*ctx);
    });
}

template <typename T>
void require(T* p) {
    if (p == nullptr) {
        failWin32(ERROR_INVALID_PARAMETER);
    }
}

inline void copyDword(DWORD v, BYTE* data, DWORD* length) {
    copyOut(&v, sizeof v, data, length);
}

BOOL CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hHash, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey);
BOOL CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                   DWORD dwFlags);
BOOL CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                   DWORD dwFlags);
BOOL CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                 DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen);
BOOL CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                 DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
               BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen);
BOOL CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
               BYTE* pbData, DWORD* pcbDataLen);
BOOL CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);

}  // namespace vantor::capi::soft
