// A minimal provider image for the provider-loading tests: it keeps the name and type handed
// over in VTableProvStruc, answers PP_NAME / PP_PROVTYPE with them, fills random buffers with
// 0x5A and counts hashed bytes. Its handles are small numbers that collide with the software
// provider's on purpose, so the front end must keep them apart.
#include <cstring>
#include <string>

#include "win/errhandlingapi.h"
#include "win/wincrypt_provider.h"

namespace {

std::string g_name;
DWORD g_type = 0;
DWORD g_hashed = 0;

BOOL copyOut(const void* data, DWORD size, BYTE* out, DWORD* length) {
    if (out != nullptr && *length < size) {
        *length = size;
        return FALSE;
    }
    if (out != nullptr) {
        std::memcpy(out, data, size);
    }
    *length = size;
    return TRUE;
}

}  // namespace

VANTOR_EXPORT BOOL CPAcquireContext(HCRYPTPROV* phProv, LPCSTR, DWORD dwFlags,
                                    PVTableProvStruc pVTable) {
    if (dwFlags != CRYPT_VERIFYCONTEXT || pVTable == nullptr || pVTable->Version < 3) {
        return FALSE;
    }
    g_name = pVTable->pszProvName;
    g_type = pVTable->dwProvType;
    *phProv = 1;
    return TRUE;
}
VANTOR_EXPORT BOOL CPReleaseContext(HCRYPTPROV, DWORD) {
    return TRUE;
}
VANTOR_EXPORT BOOL CPGetProvParam(HCRYPTPROV, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                                  DWORD) {
    if (dwParam == PP_NAME) {
        return copyOut(g_name.c_str(), static_cast<DWORD>(g_name.size() + 1), pbData, pcbDataLen);
    }
    if (dwParam == PP_PROVTYPE) {
        return copyOut(&g_type, sizeof g_type, pbData, pcbDataLen);
    }
    return FALSE;
}
// Refuses every parameter with a card-style code, so a test sees that an image's own last
// error reaches the application.
VANTOR_EXPORT BOOL CPSetProvParam(HCRYPTPROV, DWORD, const BYTE*, DWORD) {
    SetLastError(0x8010006Bu);  // SCARD_W_WRONG_CHV
    return FALSE;
}
VANTOR_EXPORT BOOL CPGenRandom(HCRYPTPROV, DWORD cbLen, BYTE* pbBuffer) {
    std::memset(pbBuffer, 0x5A, cbLen);
    return TRUE;
}
VANTOR_EXPORT BOOL CPCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH* phHash) {
    *phHash = 1;
    return TRUE;
}
VANTOR_EXPORT BOOL CPHashData(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD cbDataLen, DWORD) {
    g_hashed += cbDataLen;
    return TRUE;
}
VANTOR_EXPORT BOOL CPGetHashParam(HCRYPTPROV, HCRYPTHASH, DWORD, BYTE* pbData, DWORD* pcbDataLen,
                                  DWORD) {
    return copyOut(&g_hashed, sizeof g_hashed, pbData, pcbDataLen);
}
VANTOR_EXPORT BOOL CPDestroyHash(HCRYPTPROV, HCRYPTHASH) {
    return TRUE;
}
VANTOR_EXPORT BOOL CPGenKey(HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY* phKey) {
    *phKey = 1;
    return TRUE;
}
VANTOR_EXPORT BOOL CPDestroyKey(HCRYPTPROV, HCRYPTKEY) {
    return TRUE;
}
// The remaining entry points exist, as every provider image must export all 23, and fail.
VANTOR_EXPORT BOOL CPDeriveKey(HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY*) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPSetKeyParam(HCRYPTPROV, HCRYPTKEY, DWORD, const BYTE*, DWORD) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPGetKeyParam(HCRYPTPROV, HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPSetHashParam(HCRYPTPROV, HCRYPTHASH, DWORD, const BYTE*, DWORD) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPExportKey(HCRYPTPROV, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPImportKey(HCRYPTPROV, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPEncrypt(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPDecrypt(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPHashSessionKey(HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPSignHash(HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPVerifySignature(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR,
                                     DWORD) {
    return FALSE;
}
VANTOR_EXPORT BOOL CPGetUserKey(HCRYPTPROV, DWORD, HCRYPTKEY*) {
    return FALSE;
}
