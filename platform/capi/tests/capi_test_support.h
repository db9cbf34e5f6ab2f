// Test support for the CryptoAPI tests: a private registry/key-store directory per test, and
// key blobs built straight from OpenSSL keys, independently of the provider's own code.
#pragma once

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "win/errhandlingapi.h"
#include "win/wincrypt.h"

namespace capitest {

using Bytes = std::vector<std::uint8_t>;

// Points VANTOR_REGISTRY_DIR at a fresh directory for the test and removes it afterwards.
class PrivateStore : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/capi-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("VANTOR_REGISTRY_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VANTOR_REGISTRY_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string dir_;
};

inline void putDword(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

inline void putBn(Bytes& out, EVP_PKEY* key, const char* name, std::size_t size) {
    BIGNUM* n = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &n), 1) << name;
    std::vector<std::uint8_t> le(size);
    EXPECT_EQ(BN_bn2lebinpad(n, le.data(), static_cast<int>(size)), static_cast<int>(size));
    BN_clear_free(n);
    out.insert(out.end(), le.begin(), le.end());
}

// A PUBLICKEYBLOB or PRIVATEKEYBLOB of an OpenSSL RSA key, laid out by hand from the documented
// format.
inline Bytes blobOf(EVP_PKEY* key, bool withPrivate, ALG_ID alg = CALG_RSA_KEYX) {
    const auto bits = static_cast<std::uint32_t>(EVP_PKEY_get_bits(key));
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e);
    const auto exponent = static_cast<std::uint32_t>(BN_get_word(e));
    BN_free(e);
    Bytes out = {static_cast<std::uint8_t>(withPrivate ? PRIVATEKEYBLOB : PUBLICKEYBLOB), 2, 0, 0};
    putDword(out, alg);
    putDword(out, withPrivate ? 0x32415352u : 0x31415352u);
    putDword(out, bits);
    putDword(out, exponent);
    putBn(out, key, OSSL_PKEY_PARAM_RSA_N, bits / 8);
    if (withPrivate) {
        putBn(out, key, OSSL_PKEY_PARAM_RSA_FACTOR1, bits / 16);
        putBn(out, key, OSSL_PKEY_PARAM_RSA_FACTOR2, bits / 16);
        putBn(out, key, OSSL_PKEY_PARAM_RSA_EXPONENT1, bits / 16);
        putBn(out, key, OSSL_PKEY_PARAM_RSA_EXPONENT2, bits / 16);
        putBn(out, key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, bits / 16);
        putBn(out, key, OSSL_PKEY_PARAM_RSA_D, bits / 8);
    }
    return out;
}

inline EVP_PKEY* opensslKey(unsigned bits) {
    return EVP_RSA_gen(bits);
}

// A library context of the test's own with the legacy ciphers (RC2, RC4, DES), released with it
// so the test leaves nothing loaded behind.
class LegacyCiphers final {
  public:
    LegacyCiphers()
        : ctx_(OSSL_LIB_CTX_new()),
          default_(OSSL_PROVIDER_load(ctx_, "default")),
          legacy_(OSSL_PROVIDER_load(ctx_, "legacy")) {}
    ~LegacyCiphers() {
        OSSL_PROVIDER_unload(legacy_);
        OSSL_PROVIDER_unload(default_);
        OSSL_LIB_CTX_free(ctx_);
    }
    LegacyCiphers(const LegacyCiphers&) = delete;
    LegacyCiphers& operator=(const LegacyCiphers&) = delete;
    EVP_CIPHER* fetch(const char* name) const { return EVP_CIPHER_fetch(ctx_, name, nullptr); }

  private:
    OSSL_LIB_CTX* ctx_;
    OSSL_PROVIDER* default_;
    OSSL_PROVIDER* legacy_;
};

inline Bytes reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

}  // namespace capitest
