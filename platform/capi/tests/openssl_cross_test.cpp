// Cross-checks with OpenSSL in both directions: signatures, public key blobs, SIMPLEBLOBs and
// ciphertexts made on one side are accepted on the other.
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "capi_test_support.h"

using namespace capitest;

namespace {

class OpensslCross : public PrivateStore {
  protected:
    void SetUp() override {
        PrivateStore::SetUp();
        key_ = opensslKey(2048);
        ASSERT_NE(key_, nullptr);
        ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
        const Bytes blob = blobOf(key_, true);
        ASSERT_TRUE(CryptImportKey(prov_, blob.data(), static_cast<DWORD>(blob.size()), 0,
                                   CRYPT_EXPORTABLE, &hKey_))
            << std::hex << GetLastError();
    }
    void TearDown() override {
        CryptDestroyKey(hKey_);
        CryptReleaseContext(prov_, 0);
        EVP_PKEY_free(key_);
        PrivateStore::TearDown();
    }

    Bytes signHere(ALG_ID alg, const Bytes& data, DWORD flags = 0) {
        HCRYPTHASH h = 0;
        EXPECT_TRUE(CryptCreateHash(prov_, alg, 0, 0, &h));
        EXPECT_TRUE(CryptHashData(h, data.data(), static_cast<DWORD>(data.size()), 0));
        DWORD size = 0;
        EXPECT_TRUE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, flags, nullptr, &size));
        Bytes sig(size);
        EXPECT_TRUE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, flags, sig.data(), &size))
            << std::hex << GetLastError();
        CryptDestroyHash(h);
        return sig;
    }

    EVP_PKEY* key_ = nullptr;
    HCRYPTPROV prov_ = 0;
    HCRYPTKEY hKey_ = 0;
};

struct DigestCase {
    ALG_ID alg;
    const char* md;
};

}  // namespace

TEST_F(OpensslCross, SignatureVerifiesWithOpensslAndBack) {
    const Bytes data = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
    for (const DigestCase& c :
         {DigestCase{CALG_SHA1, "SHA1"}, DigestCase{CALG_MD5, "MD5"},
          DigestCase{CALG_SHA_256, "SHA256"}, DigestCase{CALG_SHA_384, "SHA384"},
          DigestCase{CALG_SHA_512, "SHA512"}}) {
        SCOPED_TRACE(c.md);
        // Here -> OpenSSL: the little-endian signature, reversed, verifies as PKCS#1 v1.5.
        const Bytes sig = reversed(signHere(c.alg, data));
        EVP_MD_CTX* v = EVP_MD_CTX_new();
        ASSERT_EQ(EVP_DigestVerifyInit_ex(v, nullptr, c.md, nullptr, nullptr, key_, nullptr), 1);
        EXPECT_EQ(EVP_DigestVerify(v, sig.data(), sig.size(), data.data(), data.size()), 1);
        EVP_MD_CTX_free(v);

        // OpenSSL -> here.
        EVP_MD_CTX* s = EVP_MD_CTX_new();
        ASSERT_EQ(EVP_DigestSignInit_ex(s, nullptr, c.md, nullptr, nullptr, key_, nullptr), 1);
        Bytes theirs(256);
        std::size_t len = theirs.size();
        ASSERT_EQ(EVP_DigestSign(s, theirs.data(), &len, data.data(), data.size()), 1);
        EVP_MD_CTX_free(s);
        theirs = reversed(theirs);
        HCRYPTHASH h = 0;
        ASSERT_TRUE(CryptCreateHash(prov_, c.alg, 0, 0, &h));
        ASSERT_TRUE(CryptHashData(h, data.data(), static_cast<DWORD>(data.size()), 0));
        EXPECT_TRUE(CryptVerifySignatureA(h, theirs.data(), static_cast<DWORD>(theirs.size()),
                                          hKey_, nullptr, 0));
        theirs[5] ^= 1;
        EXPECT_FALSE(CryptVerifySignatureA(h, theirs.data(), static_cast<DWORD>(theirs.size()),
                                           hKey_, nullptr, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
        CryptDestroyHash(h);
    }
}

TEST_F(OpensslCross, NoHashOidSignsTheBareHash) {
    const Bytes data = {1, 2, 3};
    const Bytes sig = reversed(signHere(CALG_SHA1, data, CRYPT_NOHASHOID));
    // Raw public operation: the block must end in the bare 20-byte SHA-1 after 00 01 FF.. 00.
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_recover_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
    Bytes recovered(256);
    std::size_t len = recovered.size();
    ASSERT_EQ(EVP_PKEY_verify_recover(ctx, recovered.data(), &len, sig.data(), sig.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    recovered.resize(len);
    Bytes digest(20);
    EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha1(), nullptr);
    EXPECT_EQ(recovered, digest);
}

TEST_F(OpensslCross, ExportedPublicKeyBlobIsTheKeyOpensslHolds) {
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(hKey_, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    Bytes blob(size);
    ASSERT_TRUE(CryptExportKey(hKey_, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    EXPECT_EQ(blob, blobOf(key_, false));
    // A generated key too: its public blob imported as an OpenSSL key verifies its signatures.
    HCRYPTKEY gen = 0;
    ASSERT_TRUE(CryptGenKey(prov_, AT_SIGNATURE, (1024u << 16) | CRYPT_EXPORTABLE, &gen));
    ASSERT_TRUE(CryptExportKey(gen, 0, PRIVATEKEYBLOB, 0, nullptr, &size));
    EXPECT_EQ(size, 20u + 1024 / 8 * 2 + 5 * 1024 / 16);
    CryptDestroyKey(gen);
}

TEST_F(OpensslCross, SimpleBlobFromOpensslUnwrapsAndDecrypts) {
    struct Case {
        ALG_ID alg;
        const char* cipher;
        std::size_t keyBytes;
    };
    for (const Case& c : {Case{CALG_RC4, "RC4", 16}, Case{CALG_3DES, "DES-EDE3-CBC", 24},
                          Case{CALG_3DES_112, "DES-EDE-CBC", 16}, Case{CALG_DES, "DES-CBC", 8}}) {
        SCOPED_TRACE(c.cipher);
        Bytes sessionKey(c.keyBytes);
        RAND_bytes(sessionKey.data(), static_cast<int>(sessionKey.size()));
        // OpenSSL wraps the key under the exchange key (PKCS#1 v1.5 type 2)...
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, nullptr);
        ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
        Bytes wrapped(256);
        std::size_t len = wrapped.size();
        ASSERT_EQ(EVP_PKEY_encrypt(ctx, wrapped.data(), &len, sessionKey.data(), sessionKey.size()),
                  1);
        EVP_PKEY_CTX_free(ctx);
        // ... and the SIMPLEBLOB carries it byte-reversed behind the header.
        Bytes blob = {SIMPLEBLOB, 2, 0, 0};
        putDword(blob, c.alg);
        putDword(blob, CALG_RSA_KEYX);
        const Bytes le = reversed(wrapped);
        blob.insert(blob.end(), le.begin(), le.end());

        // OpenSSL encrypts a message with it: zero IV, PKCS#5 padding (stream cipher: none).
        const std::string message = "a message longer than one block, for chaining";
        const LegacyCiphers legacy;
        EVP_CIPHER* cipher = legacy.fetch(c.cipher);
        ASSERT_NE(cipher, nullptr);
        EVP_CIPHER_CTX* e = EVP_CIPHER_CTX_new();
        const Bytes iv(8, 0);
        ASSERT_EQ(EVP_EncryptInit_ex2(e, cipher, sessionKey.data(), iv.data(), nullptr), 1);
        Bytes ct(message.size() + 16);
        int n1 = 0, n2 = 0;
        EVP_EncryptUpdate(e, ct.data(), &n1, reinterpret_cast<const std::uint8_t*>(message.data()),
                          static_cast<int>(message.size()));
        EVP_EncryptFinal_ex(e, ct.data() + n1, &n2);
        ct.resize(static_cast<std::size_t>(n1 + n2));
        EVP_CIPHER_CTX_free(e);
        EVP_CIPHER_free(cipher);

        HCRYPTKEY session = 0;
        ASSERT_TRUE(
            CryptImportKey(prov_, blob.data(), static_cast<DWORD>(blob.size()), hKey_, 0, &session))
            << std::hex << GetLastError();
        DWORD length = static_cast<DWORD>(ct.size());
        ASSERT_TRUE(CryptDecrypt(session, 0, TRUE, 0, ct.data(), &length))
            << std::hex << GetLastError();
        EXPECT_EQ(std::string(ct.begin(), ct.begin() + length), message);
        CryptDestroyKey(session);
    }
}

TEST_F(OpensslCross, RsaEncryptionBothWays) {
    // Here -> OpenSSL.
    Bytes buffer(256, 0);
    const Bytes secret = {9, 8, 7, 6, 5};
    std::copy(secret.begin(), secret.end(), buffer.begin());
    DWORD length = static_cast<DWORD>(secret.size());
    ASSERT_TRUE(CryptEncrypt(hKey_, 0, TRUE, 0, buffer.data(), &length, 256));
    ASSERT_EQ(length, 256u);
    const Bytes be = reversed(buffer);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, nullptr);
    ASSERT_EQ(EVP_PKEY_decrypt_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    Bytes plain(256);
    std::size_t len = plain.size();
    ASSERT_EQ(EVP_PKEY_decrypt(ctx, plain.data(), &len, be.data(), be.size()), 1);
    plain.resize(len);
    EXPECT_EQ(plain, secret);
    // OpenSSL -> here.
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    Bytes ct(256);
    len = ct.size();
    ASSERT_EQ(EVP_PKEY_encrypt(ctx, ct.data(), &len, secret.data(), secret.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    ct = reversed(ct);
    length = 256;
    ASSERT_TRUE(CryptDecrypt(hKey_, 0, TRUE, 0, ct.data(), &length));
    EXPECT_EQ(Bytes(ct.begin(), ct.begin() + length), secret);
}

TEST_F(OpensslCross, DerivedRc4KeyIsTheHashValue) {
    // A 128-bit RC4 key derived from an MD5 hash is the digest itself: OpenSSL with MD5(pw)
    // decrypts what CryptEncrypt made.
    const std::string password = "correct horse";
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(prov_, CALG_MD5, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>(password.data()),
                              static_cast<DWORD>(password.size()), 0));
    HCRYPTKEY rc4 = 0;
    ASSERT_TRUE(CryptDeriveKey(prov_, CALG_RC4, h, 128u << 16, &rc4));
    Bytes data = {'h', 'e', 'l', 'l', 'o'};
    DWORD length = 5;
    ASSERT_TRUE(CryptEncrypt(rc4, 0, TRUE, 0, data.data(), &length, 5));
    Bytes key(16);
    EVP_Digest(password.data(), password.size(), key.data(), nullptr, EVP_md5(), nullptr);
    const LegacyCiphers legacy;
    EVP_CIPHER* cipher = legacy.fetch("RC4");
    ASSERT_NE(cipher, nullptr);
    EVP_CIPHER_CTX* d = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_DecryptInit_ex2(d, cipher, key.data(), nullptr, nullptr), 1);
    Bytes plain(5);
    int n = 0;
    EVP_DecryptUpdate(d, plain.data(), &n, data.data(), 5);
    EXPECT_EQ(plain, (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EVP_CIPHER_CTX_free(d);
    EVP_CIPHER_free(cipher);
    CryptDestroyKey(rc4);
    CryptDestroyHash(h);
}

TEST_F(OpensslCross, FortyBitKeysCarryElevenZeroSaltBytesUnlessAskedNot) {
    // The Base provider's 40-bit RC4 key is used as key || eleven zero bytes; with
    // CRYPT_NO_SALT as the five key bytes alone.
    HCRYPTPROV base = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&base, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    const Bytes material = {0x11, 0x22, 0x33, 0x44, 0x55};
    const LegacyCiphers legacy;
    EVP_CIPHER* rc4 = legacy.fetch("RC4");
    ASSERT_NE(rc4, nullptr);
    for (DWORD flags : {0u, CRYPT_NO_SALT}) {
        SCOPED_TRACE(flags);
        Bytes blob = {PLAINTEXTKEYBLOB, 2, 0, 0};
        putDword(blob, CALG_RC4);
        putDword(blob, 5);
        blob.insert(blob.end(), material.begin(), material.end());
        HCRYPTKEY k = 0;
        ASSERT_TRUE(
            CryptImportKey(base, blob.data(), static_cast<DWORD>(blob.size()), 0, flags, &k));
        Bytes data(8, 0);
        DWORD length = 8;
        ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, data.data(), &length, 8));
        CryptDestroyKey(k);

        Bytes key = material;
        if (flags == 0) {
            key.resize(16, 0);
        }
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        ASSERT_EQ(EVP_CipherInit_ex2(c, rc4, nullptr, nullptr, 1, nullptr), 1);
        ASSERT_EQ(EVP_CIPHER_CTX_set_key_length(c, static_cast<int>(key.size())), 1);
        ASSERT_EQ(EVP_CipherInit_ex2(c, nullptr, key.data(), nullptr, 1, nullptr), 1);
        Bytes expected(8, 0);
        int n = 0;
        EVP_CipherUpdate(c, expected.data(), &n, expected.data(), 8);
        EVP_CIPHER_CTX_free(c);
        EXPECT_EQ(data, expected);
    }
    EVP_CIPHER_free(rc4);
    CryptReleaseContext(base, 0);
}

TEST_F(OpensslCross, Derived3desKeyFollowsTheDocumentedExtension) {
    // 3DES needs 24 bytes, SHA-1 gives 20: the key is the first 24 bytes of
    // SHA1(0x36 x 64 ^ H) || SHA1(0x5C x 64 ^ H), H = SHA1(password).
    const std::string password = "derive me";
    Bytes h(20);
    EVP_Digest(password.data(), password.size(), h.data(), nullptr, EVP_sha1(), nullptr);
    Bytes key;
    for (std::uint8_t fill : {std::uint8_t{0x36}, std::uint8_t{0x5C}}) {
        Bytes buffer(64, fill);
        for (std::size_t i = 0; i < h.size(); ++i) {
            buffer[i] ^= h[i];
        }
        Bytes part(20);
        EVP_Digest(buffer.data(), buffer.size(), part.data(), nullptr, EVP_sha1(), nullptr);
        key.insert(key.end(), part.begin(), part.end());
    }
    key.resize(24);

    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov_, CALG_SHA1, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(password.data()),
                              static_cast<DWORD>(password.size()), 0));
    HCRYPTKEY des = 0;
    ASSERT_TRUE(CryptDeriveKey(prov_, CALG_3DES, hash, 0, &des));
    Bytes data(16, 0);
    const std::string text = "plaintext";
    std::copy(text.begin(), text.end(), data.begin());
    DWORD length = static_cast<DWORD>(text.size());
    ASSERT_TRUE(CryptEncrypt(des, 0, TRUE, 0, data.data(), &length, 16));
    ASSERT_EQ(length, 16u);

    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    const Bytes iv(8, 0);
    ASSERT_EQ(EVP_DecryptInit_ex(c, EVP_des_ede3_cbc(), nullptr, key.data(), iv.data()), 1);
    Bytes plain(32);
    int n1 = 0, n2 = 0;
    ASSERT_EQ(EVP_DecryptUpdate(c, plain.data(), &n1, data.data(), 16), 1);
    ASSERT_EQ(EVP_DecryptFinal_ex(c, plain.data() + n1, &n2), 1);
    EVP_CIPHER_CTX_free(c);
    EXPECT_EQ(std::string(plain.begin(), plain.begin() + n1 + n2), text);
    CryptDestroyKey(des);
    CryptDestroyHash(hash);
}
