// CryptoAPI base types shared by the CryptoAPI front end and the certificate stores: handles,
// algorithm identifiers, the counted blob and the key specifications.
#pragma once

#include "win/windef.h"

using HCRYPTPROV = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;
using HCRYPTPROV_OR_NCRYPT_KEY_HANDLE = ULONG_PTR;
using ALG_ID = UINT;

// One counted byte string; Windows gives it a name per use, all with the same layout.
struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_UINT_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using PCERT_NAME_BLOB = CRYPTOAPI_BLOB*;
using CERT_RDN_VALUE_BLOB = CRYPTOAPI_BLOB;
using CERT_BLOB = CRYPTOAPI_BLOB;
using CRL_BLOB = CRYPTOAPI_BLOB;
using DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_DATA_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_HASH_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_DIGEST_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;

// Key specifications of a key container.
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

#define PROV_RSA_FULL 1

#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
