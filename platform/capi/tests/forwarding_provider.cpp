// A provider image that does its work through CryptoAPI itself, as the card provider does: it
// links its own copy of the front end and hands every entry point to the Enhanced software
// provider. The provider handle it returns is its own front end's context handle; key and hash
// handles pass through unchanged.
#include "win/errhandlingapi.h"
#include "win/wincrypt_provider.h"

VANTOR_EXPORT BOOL CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                                    PVTableProvStruc) {
    return CryptAcquireContextA(phProv, szContainer, MS_ENHANCED_PROV_A, PROV_RSA_FULL, dwFlags);
}
VANTOR_EXPORT BOOL CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return CryptReleaseContext(hProv, dwFlags);
}
VANTOR_EXPORT BOOL CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                                  DWORD dwFlags) {
    return CryptGetProvParam(hProv, dwParam, pbData, pcbDataLen, dwFlags);
}
VANTOR_EXPORT BOOL CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                  DWORD dwFlags) {
    return CryptSetProvParam(hProv, dwParam, pbData, dwFlags);
}
VANTOR_EXPORT BOOL CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return CryptGenKey(hProv, Algid, dwFlags, phKey);
}
VANTOR_EXPORT BOOL CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hHash, DWORD dwFlags,
                               HCRYPTKEY* phKey) {
    return CryptDeriveKey(hProv, Algid, hHash, dwFlags, phKey);
}
VANTOR_EXPORT BOOL CPDestroyKey(HCRYPTPROV, HCRYPTKEY hKey) {
    return CryptDestroyKey(hKey);
}
VANTOR_EXPORT BOOL CPSetKeyParam(HCRYPTPROV, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                                 DWORD dwFlags) {
    return CryptSetKeyParam(hKey, dwParam, pbData, dwFlags);
}
VANTOR_EXPORT BOOL CPGetKeyParam(HCRYPTPROV, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                 DWORD* pcbDataLen, DWORD dwFlags) {
    return CryptGetKeyParam(hKey, dwParam, pbData, pcbDataLen, dwFlags);
}
VANTOR_EXPORT BOOL CPExportKey(HCRYPTPROV, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                               DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) {
    return CryptExportKey(hKey, hPubKey, dwBlobType, dwFlags, pbData, pcbDataLen);
}
VANTOR_EXPORT BOOL CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen,
                               HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) {
    return CryptImportKey(hProv, pbData, cbDataLen, hPubKey, dwFlags, phKey);
}
VANTOR_EXPORT BOOL CPEncrypt(HCRYPTPROV, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    return CryptEncrypt(hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen, cbBufLen);
}
VANTOR_EXPORT BOOL CPDecrypt(HCRYPTPROV, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) {
    return CryptDecrypt(hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen);
}
VANTOR_EXPORT BOOL CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                HCRYPTHASH* phHash) {
    return CryptCreateHash(hProv, Algid, hKey, dwFlags, phHash);
}
VANTOR_EXPORT BOOL CPHashData(HCRYPTPROV, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen,
                              DWORD dwFlags) {
    return CryptHashData(hHash, pbData, cbDataLen, dwFlags);
}
VANTOR_EXPORT BOOL CPHashSessionKey(HCRYPTPROV, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    return CryptHashSessionKey(hHash, hKey, dwFlags);
}
VANTOR_EXPORT BOOL CPGetHashParam(HCRYPTPROV, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                  DWORD* pcbDataLen, DWORD dwFlags) {
    return CryptGetHashParam(hHash, dwParam, pbData, pcbDataLen, dwFlags);
}
VANTOR_EXPORT BOOL CPSetHashParam(HCRYPTPROV, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                                  DWORD dwFlags) {
    return CryptSetHashParam(hHash, dwParam, pbData, dwFlags);
}
VANTOR_EXPORT BOOL CPDestroyHash(HCRYPTPROV, HCRYPTHASH hHash) {
    return CryptDestroyHash(hHash);
}
VANTOR_EXPORT BOOL CPSignHash(HCRYPTPROV, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                              DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) {
    return CryptSignHashW(hHash, dwKeySpec, szDescription, dwFlags, pbSignature, pcbSigLen);
}
VANTOR_EXPORT BOOL CPVerifySignature(HCRYPTPROV, HCRYPTHASH hHash, const BYTE* pbSignature,
                                     DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                                     DWORD dwFlags) {
    return CryptVerifySignatureW(hHash, pbSignature, cbSigLen, hPubKey, szDescription, dwFlags);
}
VANTOR_EXPORT BOOL CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    return CryptGenRandom(hProv, cbLen, pbBuffer);
}
VANTOR_EXPORT BOOL CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return CryptGetUserKey(hProv, dwKeySpec, phUserKey);
}
