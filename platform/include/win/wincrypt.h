// CryptoAPI application interface: algorithm identifiers, flags, parameters, key blob layouts and
// the Crypt* calls of the front end (platform/capi).
#pragma once

#include "win/wincrypt_types.h"
#include "win/windef.h"
#include "win/winerror.h"

// Algorithm classes, types and sub-identifiers; an ALG_ID is class | type | sub-identifier.
#define GET_ALG_CLASS(x) ((x) & (7u << 13))
#define GET_ALG_TYPE(x) ((x) & (15u << 9))
#define GET_ALG_SID(x) ((x)&511u)
#define ALG_CLASS_ANY 0u
#define ALG_CLASS_SIGNATURE (1u << 13)
#define ALG_CLASS_MSG_ENCRYPT (2u << 13)
#define ALG_CLASS_DATA_ENCRYPT (3u << 13)
#define ALG_CLASS_HASH (4u << 13)
#define ALG_CLASS_KEY_EXCHANGE (5u << 13)
#define ALG_TYPE_ANY 0u
#define ALG_TYPE_DSS (1u << 9)
#define ALG_TYPE_RSA (2u << 9)
#define ALG_TYPE_BLOCK (3u << 9)
#define ALG_TYPE_STREAM (4u << 9)

#define CALG_MD2 0x00008001u
#define CALG_MD4 0x00008002u
#define CALG_MD5 0x00008003u
#define CALG_SHA 0x00008004u
#define CALG_SHA1 0x00008004u
#define CALG_MAC 0x00008005u
#define CALG_SSL3_SHAMD5 0x00008008u
#define CALG_HMAC 0x00008009u
#define CALG_SHA_256 0x0000800Cu
#define CALG_SHA_384 0x0000800Du
#define CALG_SHA_512 0x0000800Eu
#define CALG_RSA_SIGN 0x00002400u
#define CALG_RSA_KEYX 0x0000A400u
#define CALG_DES 0x00006601u
#define CALG_RC2 0x00006602u
#define CALG_3DES 0x00006603u
#define CALG_3DES_112 0x00006609u
#define CALG_RC4 0x00006801u
#define CALG_AES_128 0x0000660Eu
#define CALG_AES_192 0x0000660Fu
#define CALG_AES_256 0x00006610u

// CryptAcquireContext flags.
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008u
#define CRYPT_DELETEKEYSET 0x00000010u
#define CRYPT_MACHINE_KEYSET 0x00000020u
#define CRYPT_SILENT 0x00000040u

// CryptGenKey / CryptDeriveKey / CryptImportKey flags; the key size in bits sits in the upper
// 16 bits of the same flags word.
#define CRYPT_EXPORTABLE 0x00000001u
#define CRYPT_USER_PROTECTED 0x00000002u
#define CRYPT_CREATE_SALT 0x00000004u
#define CRYPT_UPDATE_KEY 0x00000008u
#define CRYPT_NO_SALT 0x00000010u
#define CRYPT_PREGEN 0x00000040u
#define CRYPT_ARCHIVABLE 0x00004000u
#define RSA1024BIT_KEY 0x04000000u

// CryptExportKey flags.
#define CRYPT_SSL2_FALLBACK 0x00000002u
#define CRYPT_DESTROYKEY 0x00000004u
#define CRYPT_OAEP 0x00000040u
#define CRYPT_BLOB_VER3 0x00000080u

// CryptSignHash / CryptVerifySignature flags.
#define CRYPT_NOHASHOID 0x00000001u
#define CRYPT_TYPE2_FORMAT 0x00000002u
#define CRYPT_X931_FORMAT 0x00000004u

// CryptCreateHash flags.
#define CRYPT_SECRETDIGEST 0x00000001u

// CryptHashSessionKey flags: key bytes as stored instead of most significant first.
#define CRYPT_LITTLE_ENDIAN 0x00000001u

// Key blob types and the blob version written by this implementation.
#define SIMPLEBLOB 0x1u
#define PUBLICKEYBLOB 0x6u
#define PRIVATEKEYBLOB 0x7u
#define PLAINTEXTKEYBLOB 0x8u
#define OPAQUEKEYBLOB 0x9u
#define PUBLICKEYBLOBEX 0xAu
#define SYMMETRICWRAPKEYBLOB 0xBu
#define CUR_BLOB_VERSION 2u

// RSAPUBKEY magic values ("RSA1" public, "RSA2" private), as little-endian DWORDs.
#define RSA1_MAGIC 0x31415352u
#define RSA2_MAGIC 0x32415352u

// Provider parameters (CryptGetProvParam / CryptSetProvParam).
#define PP_CLIENT_HWND 1u
#define PP_ENUMALGS 1u
#define PP_ENUMCONTAINERS 2u
#define PP_IMPTYPE 3u
#define PP_NAME 4u
#define PP_VERSION 5u
#define PP_CONTAINER 6u
#define PP_KEYSET_SEC_DESCR 8u
#define PP_KEYEXCHANGE_KEYSIZE 12u
#define PP_SIGNATURE_KEYSIZE 13u
#define PP_KEYEXCHANGE_ALG 14u
#define PP_SIGNATURE_ALG 15u
#define PP_PROVTYPE 16u
#define PP_KEYSTORAGE 17u
#define PP_SYM_KEYSIZE 19u
#define PP_SESSION_KEYSIZE 20u
#define PP_ENUMALGS_EX 22u
#define PP_KEYSET_TYPE 27u
#define PP_KEYEXCHANGE_PIN 32u
#define PP_SIGNATURE_PIN 33u
#define PP_SIG_KEYSIZE_INC 34u
#define PP_KEYX_KEYSIZE_INC 35u
#define PP_UNIQUE_CONTAINER 36u
#define PP_KEYSPEC 39u

// Enumeration flags of PP_ENUMALGS, PP_ENUMALGS_EX, PP_ENUMCONTAINERS.
#define CRYPT_FIRST 1u
#define CRYPT_NEXT 2u

// PP_IMPTYPE values.
#define CRYPT_IMPL_HARDWARE 1u
#define CRYPT_IMPL_SOFTWARE 2u
#define CRYPT_IMPL_MIXED 3u
#define CRYPT_IMPL_UNKNOWN 4u
#define CRYPT_IMPL_REMOVABLE 8u

// PP_KEYSTORAGE values.
#define CRYPT_SEC_DESCR 0x00000001u
#define CRYPT_PSTORE 0x00000002u

// Key parameters (CryptGetKeyParam / CryptSetKeyParam).
#define KP_IV 1u
#define KP_SALT 2u
#define KP_PADDING 3u
#define KP_MODE 4u
#define KP_MODE_BITS 5u
#define KP_PERMISSIONS 6u
#define KP_ALGID 7u
#define KP_BLOCKLEN 8u
#define KP_KEYLEN 9u
#define KP_SALT_EX 10u
#define KP_EFFECTIVE_KEYLEN 19u
#define KP_CERTIFICATE 26u

#define PKCS5_PADDING 1u
#define RANDOM_PADDING 2u
#define ZERO_PADDING 3u

#define CRYPT_MODE_CBC 1u
#define CRYPT_MODE_ECB 2u
#define CRYPT_MODE_OFB 3u
#define CRYPT_MODE_CFB 4u

// KP_PERMISSIONS bits.
#define CRYPT_ENCRYPT 0x0001u
#define CRYPT_DECRYPT 0x0002u
#define CRYPT_EXPORT 0x0004u
#define CRYPT_READ 0x0008u
#define CRYPT_WRITE 0x0010u
#define CRYPT_MAC 0x0020u
#define CRYPT_EXPORT_KEY 0x0040u
#define CRYPT_IMPORT_KEY 0x0080u

// Hash parameters (CryptGetHashParam / CryptSetHashParam).
#define HP_ALGID 1u
#define HP_HASHVAL 2u
#define HP_HASHSIZE 4u

// Key blob headers (1-byte fields, naturally aligned as on Windows: 8 and 12 bytes).
struct BLOBHEADER {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
};
using PUBLICKEYSTRUC = BLOBHEADER;

struct RSAPUBKEY {
    DWORD magic;
    DWORD bitlen;
    DWORD pubexp;
};

// PP_ENUMALGS and PP_ENUMALGS_EX entries.
struct PROV_ENUMALGS {
    ALG_ID aiAlgid;
    DWORD dwBitLen;
    DWORD dwNameLen;
    CHAR szName[20];
};

struct PROV_ENUMALGS_EX {
    ALG_ID aiAlgid;
    DWORD dwDefaultLen;
    DWORD dwMinLen;
    DWORD dwMaxLen;
    DWORD dwProtocols;
    DWORD dwNameLen;
    CHAR szName[20];
    DWORD dwLongNameLen;
    CHAR szLongName[40];
};

// Provider names: the built-in software providers (A forms are in wincrypt_types.h).
#define MS_DEF_PROV_W u"Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_W u"Microsoft Enhanced Cryptographic Provider v1.0"

// Every call returns TRUE, or FALSE with the reason in GetLastError(). Getters follow the
// size protocol: a null buffer asks for the size (TRUE); a short buffer gets the size and
// ERROR_MORE_DATA.
BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags);
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                    HCRYPTKEY* phKey);
BOOL CryptDestroyKey(HCRYPTKEY hKey);
BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags);
BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen);
BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                    DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen, DWORD dwBufLen);
BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen);
BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash);
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL CryptHashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
BOOL CryptDestroyHash(HCRYPTHASH hHash);
BOOL CryptDuplicateHash(HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags, HCRYPTHASH* phHash);
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen);
BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen);
BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags);
BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);
// Providers in name order: the registered ones and the built-in software providers.
BOOL CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPSTR szProvName, DWORD* pcbProvName);

// Where providers are registered: one subkey per provider name with "Image Path" (REG_SZ) and
// "Type" (REG_DWORD).
#define VANTOR_CRYPT_PROVIDER_KEY "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider"

// The certificate half of the same Windows header.
#include "win/wincrypt_certs.h"
