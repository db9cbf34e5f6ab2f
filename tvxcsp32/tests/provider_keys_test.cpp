// The token key's encryption, decryption and key blobs through CryptoAPI on the card bench, with
// OpenSSL as the other side: what OpenSSL encrypts for the token key the provider decrypts, and
// what the provider encrypts OpenSSL decrypts with the key file the token was loaded from.
#include "bench_fixture.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace tvxtest {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// OpenSSL's view of a PUBLICKEYBLOB (little-endian modulus behind the 20-byte header).
Pkey keyFromPublicBlob(const Bytes& blob) {
    DWORD exponent = 0;
    std::memcpy(&exponent, blob.data() + 16, 4);
    BIGNUM* n = BN_lebin2bn(blob.data() + 20, static_cast<int>(blob.size() - 20), nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_free(n);
    BN_free(e);
    return Pkey(key);
}

Pkey keyFromPemFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return nullptr;
    }
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return Pkey(key);
}

// PKCS#1 v1.5 encryption or decryption with OpenSSL; big-endian blocks; empty on failure.
Bytes rsaPkcs1(EVP_PKEY* key, const Bytes& in, bool encrypt) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(1024);
    size_t outLength = out.size();
    const bool ok =
        (encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx)) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        (encrypt ? EVP_PKEY_encrypt(ctx, out.data(), &outLength, in.data(), in.size())
                 : EVP_PKEY_decrypt(ctx, out.data(), &outLength, in.data(), in.size())) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? outLength : 0);
    return out;
}

Bytes reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// A logged-in context whose token key is the 2048-bit CNS key (with its key file) or a 1024-bit
// pair generated for a new key set.
struct TokenKey {
    std::unique_ptr<Context> ctx;
    HCRYPTKEY key = 0;
    Bytes publicBlob;
    Pkey publicKey;
    Pkey privateKey;  // only when the key file is known
};

void openTokenKey(ProviderBench& bench, DWORD bits, TokenKey* token) {
    const std::string reader = "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\";
    if (bits == 2048) {
        bench.insert("token-cns", 0);
        token->ctx = std::make_unique<Context>((reader + "%01").c_str(), 0);
        ASSERT_TRUE(token->ctx->ok());
        ASSERT_EQ(token->ctx->setPin("1234"), 0u) << token->ctx->lastCardError();
        ASSERT_TRUE(CryptGetUserKey(token->ctx->get(), AT_KEYEXCHANGE, &token->key));
        token->privateKey = keyFromPemFile(ProviderBench::keysDir() + "/cns-key.pem");
        ASSERT_NE(token->privateKey, nullptr);
    } else {
        bench.insert("token-m4", 0);
        token->ctx = std::make_unique<Context>((reader + "%7B").c_str(), CRYPT_NEWKEYSET);
        ASSERT_TRUE(token->ctx->ok());
        ASSERT_EQ(token->ctx->setPin("1234"), 0u) << token->ctx->lastCardError();
        ASSERT_TRUE(CryptGenKey(token->ctx->get(), AT_KEYEXCHANGE, 0, &token->key))
            << std::hex << GetLastError();
    }
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(token->key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    token->publicBlob.resize(size);
    ASSERT_TRUE(CryptExportKey(token->key, 0, PUBLICKEYBLOB, 0, token->publicBlob.data(), &size));
    ASSERT_EQ(size, 20 + bits / 8);
    token->publicKey = keyFromPublicBlob(token->publicBlob);
    ASSERT_NE(token->publicKey, nullptr);
}

TEST_F(ProviderBench, DecryptsWhatOpenSslEncryptsAndEncryptsWhatItDecrypts) {
    for (DWORD bits : {2048u, 1024u}) {
        SCOPED_TRACE(bits);
        TokenKey token;
        ASSERT_NO_FATAL_FAILURE(openTokenKey(*this, bits, &token));
        const DWORD n = bits / 8;

        // OpenSSL's ciphertext, little-endian for CryptoAPI; the plaintext in its own order.
        const Bytes secret = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9};
        Bytes block = reversed(rsaPkcs1(token.publicKey.get(), secret, true));
        ASSERT_EQ(block.size(), n);
        DWORD length = n;
        ASSERT_TRUE(CryptDecrypt(token.key, 0, TRUE, 0, block.data(), &length))
            << std::hex << GetLastError();
        ASSERT_EQ(length, secret.size());
        EXPECT_EQ(Bytes(block.begin(), block.begin() + length), secret);

        // Too short for any token key; a full-length block that is no ciphertext of the key.
        Bytes shortBlock(64, 0x42);
        length = 64;
        EXPECT_FALSE(CryptDecrypt(token.key, 0, TRUE, 0, shortBlock.data(), &length));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
        Bytes garbage(n, 0x42);
        length = n;
        EXPECT_FALSE(CryptDecrypt(token.key, 0, TRUE, 0, garbage.data(), &length));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));

        // Encryption with the token's public key: size query, short buffer, then the block.
        length = 0;
        ASSERT_TRUE(CryptEncrypt(token.key, 0, TRUE, 0, nullptr, &length, 0));
        EXPECT_EQ(length, n);
        Bytes buffer(n);
        length = static_cast<DWORD>(secret.size());
        EXPECT_FALSE(CryptEncrypt(token.key, 0, TRUE, 0, buffer.data(), &length, n - 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(length, n);
        std::copy(secret.begin(), secret.end(), buffer.begin());
        length = static_cast<DWORD>(secret.size());
        ASSERT_TRUE(CryptEncrypt(token.key, 0, TRUE, 0, buffer.data(), &length, n))
            << std::hex << GetLastError();
        ASSERT_EQ(length, n);
        if (token.privateKey) {
            EXPECT_EQ(rsaPkcs1(token.privateKey.get(), reversed(buffer), false), secret);
        }
        ASSERT_TRUE(CryptDecrypt(token.key, 0, TRUE, 0, buffer.data(), &length));
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), secret);
    }
}

}  // namespace
}  // namespace tvxtest
