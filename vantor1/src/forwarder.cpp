// vantor1: a second provider image with no cryptography of its own. Every entry point loads the
// card provider by name, looks up the entry point of the same name there and calls it with the
// caller's arguments, returning its result unchanged.
#include "win/libloaderapi.h"
#include "win/wincrypt_provider.h"

namespace {

// Nothing is cached: the library is loaded and the name looked up on every call, and the
// module is never freed (each call adds one load reference), so no call can find it unloaded.
// A missing library or entry point gives FALSE with no last-error code of our own.
template <typename Fn, typename... Args>
BOOL forward(const char* name, Args... args) {
    HMODULE provider = LoadLibraryA("tvxcsp32.dll");
    if (provider == nullptr) {
        return FALSE;
    }
    const Fn entry = ProcAs<Fn>(GetProcAddress(provider, name));
    if (entry == nullptr) {
        return FALSE;
    }
    return entry(args...);
}

}  // namespace

VANTOR_EXPORT BOOL CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                                    PVTableProvStruc pVTable) {
    return forward<PFN_CPAcquireContext>("CPAcquireContext", phProv, szContainer, dwFlags, pVTable);
}

VANTOR_EXPORT BOOL CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                HCRYPTHASH* phHash) {
    return forward<PFN_CPCreateHash>("CPCreateHash", hProv, Algid, hKey, dwFlags, phHash);
}

VANTOR_EXPORT BOOL CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) {
    return forward<PFN_CPDecrypt>("CPDecrypt", hProv, hKey, hHash, fFinal, dwFlags, pbData,
                                  pcbDataLen);
}

VANTOR_EXPORT BOOL CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hHash, DWORD dwFlags,
                               HCRYPTKEY* phKey) {
    return forward<PFN_CPDeriveKey>("CPDeriveKey", hProv, Algid, hHash, dwFlags, phKey);
}

VANTOR_EXPORT BOOL CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    return forward<PFN_CPDestroyHash>("CPDestroyHash", hProv, hHash);
}

VANTOR_EXPORT BOOL CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    return forward<PFN_CPDestroyKey>("CPDestroyKey", hProv, hKey);
}

VANTOR_EXPORT BOOL CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    return forward<PFN_CPEncrypt>("CPEncrypt", hProv, hKey, hHash, fFinal, dwFlags, pbData,
                                  pcbDataLen, cbBufLen);
}

VANTOR_EXPORT BOOL CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey,
                               DWORD dwBlobType, DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) {
    return forward<PFN_CPExportKey>("CPExportKey", hProv, hKey, hPubKey, dwBlobType, dwFlags,
                                    pbData, pcbDataLen);
}

VANTOR_EXPORT BOOL CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return forward<PFN_CPGenKey>("CPGenKey", hProv, Algid, dwFlags, phKey);
}

VANTOR_EXPORT BOOL CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    return forward<PFN_CPGenRandom>("CPGenRandom", hProv, cbLen, pbBuffer);
}

VANTOR_EXPORT BOOL CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                  DWORD* pcbDataLen, DWORD dwFlags) {
    return forward<PFN_CPGetHashParam>("CPGetHashParam", hProv, hHash, dwParam, pbData, pcbDataLen,
                                       dwFlags);
}

VANTOR_EXPORT BOOL CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                 DWORD* pcbDataLen, DWORD dwFlags) {
    return forward<PFN_CPGetKeyParam>("CPGetKeyParam", hProv, hKey, dwParam, pbData, pcbDataLen,
                                      dwFlags);
}

VANTOR_EXPORT BOOL CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                                  DWORD dwFlags) {
    return forward<PFN_CPGetProvParam>("CPGetProvParam", hProv, dwParam, pbData, pcbDataLen,
                                       dwFlags);
}

VANTOR_EXPORT BOOL CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return forward<PFN_CPGetUserKey>("CPGetUserKey", hProv, dwKeySpec, phUserKey);
}

VANTOR_EXPORT BOOL CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData,
                              DWORD cbDataLen, DWORD dwFlags) {
    return forward<PFN_CPHashData>("CPHashData", hProv, hHash, pbData, cbDataLen, dwFlags);
}

VANTOR_EXPORT BOOL CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey,
                                    DWORD dwFlags) {
    return forward<PFN_CPHashSessionKey>("CPHashSessionKey", hProv, hHash, hKey, dwFlags);
}

VANTOR_EXPORT BOOL CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen,
                               HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) {
    return forward<PFN_CPImportKey>("CPImportKey", hProv, pbData, cbDataLen, hPubKey, dwFlags,
                                    phKey);
}

VANTOR_EXPORT BOOL CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return forward<PFN_CPReleaseContext>("CPReleaseContext", hProv, dwFlags);
}

VANTOR_EXPORT BOOL CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                                  const BYTE* pbData, DWORD dwFlags) {
    return forward<PFN_CPSetHashParam>("CPSetHashParam", hProv, hHash, dwParam, pbData, dwFlags);
}

VANTOR_EXPORT BOOL CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam,
                                 const BYTE* pbData, DWORD dwFlags) {
    return forward<PFN_CPSetKeyParam>("CPSetKeyParam", hProv, hKey, dwParam, pbData, dwFlags);
}

VANTOR_EXPORT BOOL CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                  DWORD dwFlags) {
    return forward<PFN_CPSetProvParam>("CPSetProvParam", hProv, dwParam, pbData, dwFlags);
}

VANTOR_EXPORT BOOL CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec,
                              LPCWSTR szDescription, DWORD dwFlags, BYTE* pbSignature,
                              DWORD* pcbSigLen) {
    return forward<PFN_CPSignHash>("CPSignHash", hProv, hHash, dwKeySpec, szDescription, dwFlags,
                                   pbSignature, pcbSigLen);
}

VANTOR_EXPORT BOOL CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                                     DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                                     DWORD dwFlags) {
    return forward<PFN_CPVerifySignature>("CPVerifySignature", hProv, hHash, pbSignature, cbSigLen,
                                          hPubKey, szDescription, dwFlags);
}
