// OpenSSL plumbing of the software provider: its own library context (default and legacy
// providers, so RC2, RC4 and single DES are there without touching the application's
// context) and owning pointers for the OpenSSL objects it uses.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>

#include "vantor/secure_bytes.h"

namespace vantor::capi {

struct EvpPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct EvpPkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct EvpMdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct EvpCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct BnClearFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnClearFree>;

// The provider's library context; null when OpenSSL could not be set up (callers then fail
// with NTE_PROVIDER_DLL_FAIL).
OSSL_LIB_CTX* libContext();

// Little-endian bytes to a number and back (CryptoAPI blobs are little-endian).
BnPtr bnFromLittleEndian(std::span<const std::uint8_t> bytes);
// Writes exactly size bytes, little-endian, zero-padded; false when the number does not fit.
bool bnToLittleEndian(const BIGNUM* n, std::uint8_t* out, std::size_t size);

// Reverses a byte range in place (CryptoAPI little-endian <-> big-endian).
void reverseBytes(std::uint8_t* data, std::size_t size);

}  // namespace vantor::capi
