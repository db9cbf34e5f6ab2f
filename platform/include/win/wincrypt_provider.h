// CryptoAPI provider interface: the VTableProvStruc handed to CPAcquireContext and the 23 CP*
// entry points a provider image exports (plus the optional CPDuplicateHash).
#pragma once

#include "win/wincrypt.h"

// Handed to CPAcquireContext; valid only during that call (a provider copies what it keeps).
struct VTableProvStruc {
    DWORD Version;            // 3: every member below is valid
    FARPROC FuncVerifyImage;  // BOOL (*)(LPCSTR image, BYTE* signature): always TRUE here
    FARPROC FuncReturnhWnd;   // BOOL (*)(DWORD* window): always 0 (no owner window)
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};
using PVTableProvStruc = VTableProvStruc*;

using PFN_CPAcquireContext = BOOL (*)(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                                      PVTableProvStruc pVTable);
using PFN_CPReleaseContext = BOOL (*)(HCRYPTPROV hProv, DWORD dwFlags);
using PFN_CPGenKey = BOOL (*)(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
using PFN_CPDeriveKey = BOOL (*)(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hHash, DWORD dwFlags,
                                 HCRYPTKEY* phKey);
using PFN_CPDestroyKey = BOOL (*)(HCRYPTPROV hProv, HCRYPTKEY hKey);
using PFN_CPSetKeyParam = BOOL (*)(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam,
                                   const BYTE* pbData, DWORD dwFlags);
using PFN_CPGetKeyParam = BOOL (*)(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                   DWORD* pcbDataLen, DWORD dwFlags);
using PFN_CPSetProvParam = BOOL (*)(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                    DWORD dwFlags);
using PFN_CPGetProvParam = BOOL (*)(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                    DWORD* pcbDataLen, DWORD dwFlags);
using PFN_CPSetHashParam = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                                    const BYTE* pbData, DWORD dwFlags);
using PFN_CPGetHashParam = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                    DWORD* pcbDataLen, DWORD dwFlags);
using PFN_CPExportKey = BOOL (*)(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey,
                                 DWORD dwBlobType, DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen);
using PFN_CPImportKey = BOOL (*)(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen,
                                 HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey);
using PFN_CPEncrypt = BOOL (*)(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                               DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen);
using PFN_CPDecrypt = BOOL (*)(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                               DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen);
using PFN_CPCreateHash = BOOL (*)(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                  HCRYPTHASH* phHash);
using PFN_CPHashData = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData,
                                DWORD cbDataLen, DWORD dwFlags);
using PFN_CPHashSessionKey = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey,
                                      DWORD dwFlags);
using PFN_CPSignHash = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec,
                                LPCWSTR szDescription, DWORD dwFlags, BYTE* pbSignature,
                                DWORD* pcbSigLen);
using PFN_CPDestroyHash = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash);
using PFN_CPVerifySignature = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                                       DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                                       DWORD dwFlags);
using PFN_CPGenRandom = BOOL (*)(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer);
using PFN_CPGetUserKey = BOOL (*)(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
using PFN_CPDuplicateHash = BOOL (*)(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD* pdwReserved,
                                     DWORD dwFlags, HCRYPTHASH* phHash);

// The entry points of one provider, as the front end binds them from an image by name.
struct CRYPT_PROVIDER_FUNCTIONS {
    PFN_CPAcquireContext CPAcquireContext;
    PFN_CPCreateHash CPCreateHash;
    PFN_CPDecrypt CPDecrypt;
    PFN_CPDeriveKey CPDeriveKey;
    PFN_CPDestroyHash CPDestroyHash;
    PFN_CPDestroyKey CPDestroyKey;
    PFN_CPEncrypt CPEncrypt;
    PFN_CPExportKey CPExportKey;
    PFN_CPGenKey CPGenKey;
    PFN_CPGenRandom CPGenRandom;
    PFN_CPGetHashParam CPGetHashParam;
    PFN_CPGetKeyParam CPGetKeyParam;
    PFN_CPGetProvParam CPGetProvParam;
    PFN_CPGetUserKey CPGetUserKey;
    PFN_CPHashData CPHashData;
    PFN_CPHashSessionKey CPHashSessionKey;
    PFN_CPImportKey CPImportKey;
    PFN_CPReleaseContext CPReleaseContext;
    PFN_CPSetHashParam CPSetHashParam;
    PFN_CPSetKeyParam CPSetKeyParam;
    PFN_CPSetProvParam CPSetProvParam;
    PFN_CPSignHash CPSignHash;
    PFN_CPVerifySignature CPVerifySignature;
    PFN_CPDuplicateHash CPDuplicateHash;  // optional: null when the image does not export it
};
