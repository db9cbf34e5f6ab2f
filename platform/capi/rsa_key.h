// An RSA key pair or public key of the software provider over an OpenSSL EVP_PKEY: generation,
// blob import and export, PKCS#1 v1.5 signatures and encryption.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ossl.h"
#include "vantor/secure_bytes.h"
#include "win/wincrypt.h"

namespace vantor::capi {

class RsaKey final {
  public:
    // A fresh key pair of the given size (public exponent 65537).
    static std::unique_ptr<RsaKey> generate(DWORD bits);
    // Imports a PUBLICKEYBLOB or PRIVATEKEYBLOB. Refuses truncated or inconsistent blobs (a
    // modulus whose length disagrees with the bit length, primes whose product is not the
    // modulus) with NTE_BAD_DATA. Keys whose exponents are 1 are accepted: their RSA operation is
    // the identity, which callers use to have blocks formatted without being transformed.
    static std::unique_ptr<RsaKey> fromBlob(std::span<const std::uint8_t> blob);

    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;

    bool hasPrivate() const { return hasPrivate_; }
    DWORD bits() const { return bits_; }
    std::size_t size() const { return bits_ / 8; }
    EVP_PKEY* pkey() const { return pkey_.get(); }

    // PUBLICKEYBLOB or PRIVATEKEYBLOB carrying alg in its header.
    SecureBytes exportBlob(bool withPrivate, ALG_ID alg) const;

    // PKCS#1 v1.5 block type 1 over the DigestInfo of hash under md (or the bare hash when md is
    // null), signed; big-endian, size() bytes.
    std::vector<std::uint8_t> sign(const EVP_MD* md, std::span<const std::uint8_t> hash) const;
    bool verify(const EVP_MD* md, std::span<const std::uint8_t> hash,
                std::span<const std::uint8_t> signature) const;
    // PKCS#1 v1.5 (or OAEP) encryption to size() big-endian bytes, and its inverse; a block that
    // does not decrypt to a well-formed padding gives NTE_BAD_DATA.
    std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> plain, bool oaep) const;
    SecureBytes decrypt(std::span<const std::uint8_t> cipher, bool oaep) const;

  private:
    RsaKey(PkeyPtr pkey, DWORD bits, bool hasPrivate)
        : pkey_(std::move(pkey)), bits_(bits), hasPrivate_(hasPrivate) {}
    PkeyCtxPtr context() const;
    // The signature of a key whose exponents are all 1: the block itself, formatted without
    // the RSA operation (see identity_).
    std::vector<std::uint8_t> identitySign(const EVP_MD* md,
                                           std::span<const std::uint8_t> hash) const;

    PkeyPtr pkey_;
    DWORD bits_;
    bool hasPrivate_;
    // All exponents are 1, so the RSA operation leaves every block unchanged. OpenSSL still runs
    // its constant-time exponentiation over the full length, as costly as a real key's.
    bool identity_ = false;
};

}  // namespace vantor::capi
