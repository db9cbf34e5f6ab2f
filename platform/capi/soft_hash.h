// A hash object of the software provider: MD5, SHA-1, SSL3_SHAMD5 (MD5 and SHA-1 side by
// side) and SHA-256/384/512 over OpenSSL digests, finished on the first read of its value.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ossl.h"
#include "vantor/secure_bytes.h"
#include "win/wincrypt.h"

namespace vantor::capi {

class HashObject final {
  public:
    // NTE_BAD_ALGID for an algorithm the provider does not offer.
    explicit HashObject(ALG_ID alg);
    ~HashObject();
    HashObject(const HashObject&) = delete;
    HashObject& operator=(const HashObject&) = delete;

    static bool supported(ALG_ID alg);

    ALG_ID alg() const { return alg_; }
    DWORD size() const { return size_; }
    // The digest whose DigestInfo a signature carries; null for SSL3_SHAMD5 (signed bare).
    const EVP_MD* signatureDigest() const;

    // NTE_BAD_HASH_STATE once the value has been read or set.
    void update(std::span<const std::uint8_t> data);
    // Finishes the hash on first use; the value then stays fixed.
    const SecureBytes& value();
    // HP_HASHVAL: the caller supplies the value (length must match the algorithm).
    void setValue(std::span<const std::uint8_t> value);
    std::unique_ptr<HashObject> duplicate() const;

  private:
    HashObject(ALG_ID alg, DWORD size) : alg_(alg), size_(size) {}

    ALG_ID alg_;
    DWORD size_;
    const EVP_MD* md_ = nullptr;  // fetched once per algorithm from the provider's context
    MdCtxPtr ctx_;
    bool finished_ = false;
    SecureBytes value_;  // may be key material (CryptDeriveKey takes it as the key)
};

}  // namespace vantor::capi
