// Behaviour of the software providers through the front end: the identity key, hashes,
// session keys, contexts and handles.
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>

#include "capi_test_support.h"

using namespace capitest;

namespace {

// A 1024-bit private key blob whose public and private exponents (and CRT exponents) are 1, so
// that its RSA operation is the identity; followed by one zero byte (597 bytes in all).
Bytes identityKeyBlob() {
    EVP_PKEY* real = opensslKey(1024);
    Bytes blob = blobOf(real, true);
    EVP_PKEY_free(real);
    auto setOne = [&](std::size_t offset, std::size_t size) {
        std::fill(blob.begin() + static_cast<long>(offset),
                  blob.begin() + static_cast<long>(offset + size), 0);
        blob[offset] = 1;
    };
    blob[16] = 1;  // public exponent, little-endian DWORD
    blob[17] = blob[18] = blob[19] = 0;
    setOne(20 + 128 + 64 * 2, 64);   // exponent1
    setOne(20 + 128 + 64 * 3, 64);   // exponent2
    setOne(20 + 128 + 64 * 5, 128);  // private exponent
    blob.push_back(0);
    return blob;
}

Bytes digestInfoSha1(const Bytes& hash) {
    Bytes out = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

class SoftProvider : public PrivateStore {
  protected:
    void SetUp() override {
        PrivateStore::SetUp();
        ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
    }
    void TearDown() override {
        CryptReleaseContext(prov_, 0);
        PrivateStore::TearDown();
    }
    HCRYPTPROV prov_ = 0;
};

}  // namespace

TEST_F(SoftProvider, IdentityKeySignsAndUnwrapsWithoutTransforming) {
    // A scratch container, as the token provider uses it: deleted, created, identity imported.
    HCRYPTPROV scratch = 0;
    const char* name = "{scratch}";
    CryptAcquireContextA(&scratch, name, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(
        CryptAcquireContextA(&scratch, name, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    const Bytes blob = identityKeyBlob();
    ASSERT_EQ(blob.size(), 597u);
    HCRYPTKEY identity = 0;
    ASSERT_TRUE(CryptImportKey(scratch, blob.data(), 597, 0, 0, &identity))
        << std::hex << GetLastError();

    // Signing yields the PKCS#1 type 1 block of the SHA-1 DigestInfo itself, little-endian.
    const Bytes data = {'a', 'b', 'c'};
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(scratch, CALG_SHA1, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, data.data(), 3, 0));
    Bytes hash(20);
    DWORD size = 20;
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, hash.data(), &size, 0));
    Bytes sig(128);
    size = 128;
    ASSERT_TRUE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &size));
    Bytes expected = {0x00, 0x01};
    const Bytes info = digestInfoSha1(hash);
    expected.insert(expected.end(), 128 - 3 - info.size(), 0xFF);
    expected.push_back(0x00);
    expected.insert(expected.end(), info.begin(), info.end());
    EXPECT_EQ(reversed(sig), expected);
    CryptDestroyHash(h);

    // A SIMPLEBLOB whose block is 00 02 FF.. 00 key (little-endian) unwraps to that key.
    const Bytes rc4 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Bytes block = {0x00, 0x02};
    block.insert(block.end(), 128 - 3 - rc4.size(), 0xFF);
    block.push_back(0);
    block.insert(block.end(), rc4.begin(), rc4.end());
    Bytes simple = {SIMPLEBLOB, 2, 0, 0};
    putDword(simple, CALG_RC4);
    putDword(simple, CALG_RSA_KEYX);
    const Bytes le = reversed(block);
    simple.insert(simple.end(), le.begin(), le.end());
    ASSERT_EQ(simple.size(), 140u);
    HCRYPTKEY session = 0;
    ASSERT_TRUE(CryptImportKey(scratch, simple.data(), 140, identity, CRYPT_EXPORTABLE, &session))
        << std::hex << GetLastError();
    Bytes plain(12 + 16);
    size = static_cast<DWORD>(plain.size());
    ASSERT_TRUE(CryptExportKey(session, 0, PLAINTEXTKEYBLOB, 0, plain.data(), &size));
    EXPECT_EQ(Bytes(plain.begin() + 12, plain.end()), rc4);

    // Decrypting a block with it strips the padding and returns the payload.
    Bytes buffer = le;
    size = 128;
    ASSERT_TRUE(CryptDecrypt(identity, 0, TRUE, 0, buffer.data(), &size));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + size), rc4);

    // The pair is the container's exchange key from now on.
    HCRYPTKEY user = 0;
    ASSERT_TRUE(CryptGetUserKey(scratch, AT_KEYEXCHANGE, &user));
    CryptDestroyKey(user);
    CryptDestroyKey(session);
    CryptDestroyKey(identity);
    ASSERT_TRUE(CryptReleaseContext(scratch, 0));
}

// The identity key's signatures are formatted without an RSA operation: OpenSSL's own PKCS#1
// verification with the key's public half (exponent 1) must accept each of them, DigestInfo
// and all. The hashes take turns, each signed two or three times and never twice in a row, so
// that a DigestInfo kept from an earlier signature must be the one of the hash at hand.
TEST_F(SoftProvider, IdentityKeySignaturesVerifyWithOpensslForEveryHash) {
    const Bytes blob = identityKeyBlob();
    HCRYPTKEY identity = 0;
    ASSERT_TRUE(CryptImportKey(prov_, blob.data(), 597, 0, 0, &identity))
        << std::hex << GetLastError();
    // The public half as OpenSSL holds it: the modulus from the blob, exponent 1.
    BIGNUM* n = BN_lebin2bn(blob.data() + 20, 128, nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, 1);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* make = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* pub = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(make), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(make, &pub, EVP_PKEY_PUBLIC_KEY, params), 1);
    EVP_PKEY_CTX_free(make);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(e);
    BN_free(n);

    struct Case {
        ALG_ID alg;
        const EVP_MD* md;
    };
    const Bytes data = {'i', 'd'};
    const std::vector<Case> cases = {
        Case{CALG_MD5, EVP_md5()},        Case{CALG_SHA1, EVP_sha1()},
        Case{CALG_SHA_256, EVP_sha256()}, Case{CALG_SHA_384, EVP_sha384()},
        Case{CALG_SHA_512, EVP_sha512()}, Case{CALG_SSL3_SHAMD5, EVP_md5_sha1()}};
    std::vector<Case> turns = cases;
    turns.insert(turns.end(), cases.rbegin() + 1, cases.rend());  // ... SHA-512, ..., MD5
    turns.insert(turns.end(), cases.begin() + 1, cases.end());    // SHA-1, ..., SSL3_SHAMD5
    for (const Case& c : turns) {
        SCOPED_TRACE(EVP_MD_get0_name(c.md));
        HCRYPTHASH h = 0;
        ASSERT_TRUE(CryptCreateHash(prov_, c.alg, 0, 0, &h));
        if (c.alg == CALG_SSL3_SHAMD5) {
            Bytes value(36, 0x5a);
            ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, value.data(), 0));
        } else {
            ASSERT_TRUE(CryptHashData(h, data.data(), 2, 0));
        }
        Bytes hash(64);
        DWORD size = 64;
        ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, hash.data(), &size, 0));
        hash.resize(size);
        Bytes sig(128);
        size = 128;
        ASSERT_TRUE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &size))
            << std::hex << GetLastError();
        ASSERT_EQ(size, 128u);
        const Bytes block = reversed(sig);
        EVP_PKEY_CTX* verify = EVP_PKEY_CTX_new(pub, nullptr);
        ASSERT_EQ(EVP_PKEY_verify_init(verify), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(verify, RSA_PKCS1_PADDING), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(verify, c.md), 1);
        EXPECT_EQ(EVP_PKEY_verify(verify, block.data(), block.size(), hash.data(), hash.size()), 1);
        EVP_PKEY_CTX_free(verify);
        CryptDestroyHash(h);
    }
    EVP_PKEY_free(pub);
    CryptDestroyKey(identity);
}

TEST_F(SoftProvider, HashesMatchOpenssl) {
    struct Case {
        ALG_ID alg;
        const EVP_MD* md;
    };
    const Bytes data(1000, 0x61);
    for (const Case& c :
         {Case{CALG_MD5, EVP_md5()}, Case{CALG_SHA1, EVP_sha1()}, Case{CALG_SHA_256, EVP_sha256()},
          Case{CALG_SHA_384, EVP_sha384()}, Case{CALG_SHA_512, EVP_sha512()},
          Case{CALG_SSL3_SHAMD5, EVP_md5_sha1()}}) {
        SCOPED_TRACE(EVP_MD_get0_name(c.md));
        Bytes expected(EVP_MAX_MD_SIZE);
        unsigned int n = 0;
        EVP_Digest(data.data(), data.size(), expected.data(), &n, c.md, nullptr);
        expected.resize(n);
        HCRYPTHASH h = 0;
        ASSERT_TRUE(CryptCreateHash(prov_, c.alg, 0, 0, &h));
        ASSERT_TRUE(CryptHashData(h, data.data(), 400, 0));
        HCRYPTHASH dup = 0;
        ASSERT_TRUE(CryptDuplicateHash(h, nullptr, 0, &dup));
        ASSERT_TRUE(CryptHashData(h, data.data() + 400, 600, 0));
        ASSERT_TRUE(CryptHashData(dup, data.data() + 400, 600, 0));
        for (HCRYPTHASH each : {h, dup}) {
            Bytes value(n);
            DWORD size = n;
            ASSERT_TRUE(CryptGetHashParam(each, HP_HASHVAL, value.data(), &size, 0));
            EXPECT_EQ(value, expected);
        }
        // A finished hash takes no more data.
        EXPECT_FALSE(CryptHashData(h, data.data(), 1, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH_STATE));
        CryptDestroyHash(dup);
        CryptDestroyHash(h);
    }
}

TEST_F(SoftProvider, SessionKeysRoundTripWithPadding) {
    for (ALG_ID alg : {CALG_RC2, CALG_RC4, CALG_DES, CALG_3DES_112, CALG_3DES}) {
        SCOPED_TRACE(alg);
        HCRYPTKEY k = 0;
        ASSERT_TRUE(CryptGenKey(prov_, alg, CRYPT_EXPORTABLE, &k)) << std::hex << GetLastError();
        for (DWORD len : {0u, 1u, 7u, 8u, 9u, 33u}) {
            Bytes data(48, 0);
            for (DWORD i = 0; i < len; ++i) {
                data[i] = static_cast<std::uint8_t>(i + 1);
            }
            DWORD size = len;
            ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, nullptr, &size, 0));
            const DWORD needed = size;
            EXPECT_EQ(needed, alg == CALG_RC4 ? len : (len / 8 + 1) * 8);
            size = len;
            ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, data.data(), &size, 48));
            EXPECT_EQ(size, needed);
            ASSERT_TRUE(CryptDecrypt(k, 0, TRUE, 0, data.data(), &size));
            ASSERT_EQ(size, len);
            for (DWORD i = 0; i < len; ++i) {
                ASSERT_EQ(data[i], i + 1);
            }
        }
        CryptDestroyKey(k);
    }
    // A corrupted final block is refused, not returned with garbage padding.
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGenKey(prov_, CALG_3DES, 0, &k));
    Bytes data(16, 0x41);
    DWORD size = 5;
    ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, data.data(), &size, 16));
    data[7] ^= 0x80;
    EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, 0, data.data(), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
    CryptDestroyKey(k);
}

TEST_F(SoftProvider, BaseProviderOffersOnlyItsAlgorithms) {
    HCRYPTPROV base = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&base, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    auto algs = [](HCRYPTPROV p) {
        std::vector<ALG_ID> ids;
        DWORD flags = CRYPT_FIRST;
        PROV_ENUMALGS_EX e{};
        DWORD size = sizeof e;
        while (CryptGetProvParam(p, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&e), &size, flags)) {
            ids.push_back(e.aiAlgid);
            flags = CRYPT_NEXT;
            size = sizeof e;
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return ids;
    };
    const auto enhanced = algs(prov_);
    const auto baseIds = algs(base);
    for (ALG_ID a : {CALG_RSA_SIGN, CALG_RSA_KEYX, CALG_SHA1, CALG_MD5, CALG_SHA_256, CALG_RC4}) {
        EXPECT_NE(std::find(enhanced.begin(), enhanced.end(), a), enhanced.end()) << a;
        EXPECT_NE(std::find(baseIds.begin(), baseIds.end(), a), baseIds.end()) << a;
    }
    EXPECT_NE(std::find(enhanced.begin(), enhanced.end(), CALG_3DES), enhanced.end());
    EXPECT_EQ(std::find(baseIds.begin(), baseIds.end(), CALG_3DES), baseIds.end());
    HCRYPTKEY k = 0;
    EXPECT_FALSE(CryptGenKey(base, CALG_3DES, 0, &k));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    char name[64];
    DWORD size = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(base, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_STREQ(name, MS_DEF_PROV_A);
    CryptReleaseContext(base, 0);
}

TEST_F(SoftProvider, HandlesStayWithTheirContext) {
    HCRYPTPROV other = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&other, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY exchange = 0;
    ASSERT_TRUE(CryptGenKey(prov_, AT_KEYEXCHANGE, 512u << 16, &exchange));
    HCRYPTKEY session = 0;
    ASSERT_TRUE(CryptGenKey(other, CALG_RC4, CRYPT_EXPORTABLE, &session));
    // Wrapping a key of one context for a key of another is refused by the front end.
    DWORD size = 0;
    EXPECT_FALSE(CryptExportKey(session, exchange, SIMPLEBLOB, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(other, CALG_SHA1, 0, 0, &h));
    EXPECT_FALSE(CryptVerifySignatureA(h, nullptr, 0, exchange, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    // A hash handle is not a key handle, and a released context takes its handles along.
    EXPECT_FALSE(CryptDestroyKey(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    ASSERT_TRUE(CryptReleaseContext(other, 0));
    EXPECT_FALSE(CryptHashData(h, reinterpret_cast<const BYTE*>("x"), 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH));
    EXPECT_FALSE(CryptReleaseContext(other, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    CryptDestroyKey(exchange);
}

TEST_F(SoftProvider, AcquireRefusesUnknownProvidersAndBadFlags) {
    HCRYPTPROV p = 0;
    EXPECT_FALSE(
        CryptAcquireContextA(&p, nullptr, "No Such Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    EXPECT_FALSE(CryptAcquireContextA(&p, nullptr, MS_ENHANCED_PROV_A, 24, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
    EXPECT_FALSE(CryptAcquireContextA(&p, "c", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0x100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    EXPECT_EQ(p, 0u);
    // The wide form reaches the same provider.
    ASSERT_TRUE(
        CryptAcquireContextW(&p, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Bytes random(64, 0);
    ASSERT_TRUE(CryptGenRandom(p, 64, random.data()));
    EXPECT_NE(random, Bytes(64, 0));
    CryptReleaseContext(p, 0);
}

TEST_F(SoftProvider, SignatureNeedsAKeyAndKnownFlags) {
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(prov_, CALG_SHA_256, 0, 0, &h));
    DWORD size = 0;
    EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGenKey(prov_, AT_SIGNATURE, 1024u << 16, &k));
    EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, CRYPT_X931_FORMAT, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    ASSERT_TRUE(CryptSignHashW(h, AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_EQ(size, 128u);
    // A key generated without CRYPT_EXPORTABLE keeps its private part in.
    EXPECT_FALSE(CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
    CryptDestroyKey(k);
    CryptDestroyHash(h);
}

TEST_F(SoftProvider, HashSessionKeyHashesMostSignificantByteFirst) {
    const Bytes material = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Bytes blob = {PLAINTEXTKEYBLOB, 2, 0, 0};
    putDword(blob, CALG_RC4);
    putDword(blob, 16);
    blob.insert(blob.end(), material.begin(), material.end());
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptImportKey(prov_, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k));
    for (DWORD flags : {0u, CRYPT_LITTLE_ENDIAN}) {
        HCRYPTHASH h = 0;
        ASSERT_TRUE(CryptCreateHash(prov_, CALG_SHA1, 0, 0, &h));
        ASSERT_TRUE(CryptHashSessionKey(h, k, flags));
        Bytes value(20);
        DWORD size = 20;
        ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, value.data(), &size, 0));
        const Bytes hashed = flags == 0 ? reversed(material) : material;
        Bytes expected(20);
        EVP_Digest(hashed.data(), hashed.size(), expected.data(), nullptr, EVP_sha1(), nullptr);
        EXPECT_EQ(value, expected) << flags;
        CryptDestroyHash(h);
    }
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(prov_, CALG_SHA1, 0, 0, &h));
    EXPECT_FALSE(CryptHashSessionKey(h, k, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    CryptDestroyHash(h);
    CryptDestroyKey(k);
}
