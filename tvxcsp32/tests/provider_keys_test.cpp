// The token key's encryption, decryption and key blobs through CryptoAPI on the card bench, with
// OpenSSL as the other side: what OpenSSL encrypts for the token key the provider decrypts, and
// what the provider encrypts OpenSSL decrypts with the key file the token was loaded from.
#include "bench_fixture.h"
#include "token_bench.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

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

// A SIMPLEBLOB of a 3DES key wrapped by OpenSSL for the given RSA public key.
Bytes simpleBlobFromOpenSsl(EVP_PKEY* wrapKey, const Bytes& sessionKey) {
    Bytes blob = {SIMPLEBLOB, 2, 0, 0};
    for (DWORD alg : {static_cast<DWORD>(CALG_3DES), static_cast<DWORD>(CALG_RSA_KEYX)}) {
        for (int i = 0; i < 4; ++i) {
            blob.push_back(static_cast<BYTE>(alg >> (8 * i)));
        }
    }
    const Bytes wrapped = reversed(rsaPkcs1(wrapKey, sessionKey, true));
    blob.insert(blob.end(), wrapped.begin(), wrapped.end());
    return blob;
}

// 3DES-CBC with a zero IV and PKCS#5 padding, CryptoAPI's defaults for a 3DES key.
Bytes tripleDesEncrypt(const Bytes& key, const Bytes& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[8] = {};
    Bytes out(plain.size() + 8);
    int first = 0;
    int last = 0;
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key.data(), iv);
    EVP_EncryptUpdate(ctx, out.data(), &first, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + first, &last);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(first + last));
    return out;
}

// What OpenSSL wraps for the token key unwraps on the token, and the session key decrypts
// OpenSSL's ciphertext; blobs too short for the key, or carrying more than fits the identity
// key's block, are refused.
TEST_F(ProviderBench, SessionKeysWrappedByOpenSslUnwrapOnTheToken) {
    for (DWORD bits : {2048u, 1024u}) {
        SCOPED_TRACE(bits);
        TokenKey token;
        ASSERT_NO_FATAL_FAILURE(openTokenKey(*this, bits, &token));
        Bytes sessionKey(24);
        ASSERT_EQ(RAND_bytes(sessionKey.data(), 24), 1);
        const Bytes blob = simpleBlobFromOpenSsl(token.publicKey.get(), sessionKey);
        ASSERT_EQ(blob.size(), 12 + bits / 8);
        HCRYPTKEY session = 0;
        ASSERT_TRUE(CryptImportKey(token.ctx->get(), blob.data(), static_cast<DWORD>(blob.size()),
                                   token.key, 0, &session))
            << std::hex << GetLastError();
        const Bytes message(100, 0x6D);
        Bytes data = tripleDesEncrypt(sessionKey, message);
        DWORD length = static_cast<DWORD>(data.size());
        ASSERT_TRUE(CryptDecrypt(session, 0, TRUE, 0, data.data(), &length))
            << std::hex << GetLastError();
        EXPECT_EQ(Bytes(data.begin(), data.begin() + length), message);
        CryptDestroyKey(session);

        // 139 bytes, and one byte short of the whole block of this key.
        for (DWORD shortLength : {139u, 11u + bits / 8}) {
            HCRYPTKEY refused = 0;
            EXPECT_FALSE(
                CryptImportKey(token.ctx->get(), blob.data(), shortLength, token.key, 0, &refused));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA)) << shortLength;
        }
        if (bits == 2048) {
            // More key bytes than the identity key's 128-byte block holds behind 00 02 .. 00.
            for (std::size_t keyLength : {126u, 200u}) {
                const Bytes tooLong =
                    simpleBlobFromOpenSsl(token.publicKey.get(), Bytes(keyLength, 0x11));
                HCRYPTKEY refused = 0;
                EXPECT_FALSE(CryptImportKey(token.ctx->get(), tooLong.data(),
                                            static_cast<DWORD>(tooLong.size()), token.key, 0,
                                            &refused));
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA)) << keyLength;
            }
        }
    }
}

// A software session key exported for the token key: a 140-byte SIMPLEBLOB for a 1024-bit key,
// which the token unwraps to the same key; a 2048-bit key is no wrapping target.
TEST_F(ProviderBench, SessionKeysExportWrappedForTheTokenKey) {
    for (DWORD bits : {1024u, 2048u}) {
        SCOPED_TRACE(bits);
        TokenKey token;
        ASSERT_NO_FATAL_FAILURE(openTokenKey(*this, bits, &token));
        HCRYPTKEY session = 0;
        ASSERT_TRUE(CryptGenKey(token.ctx->get(), CALG_3DES, CRYPT_EXPORTABLE, &session));
        DWORD length = 0;
        ASSERT_TRUE(CryptExportKey(session, token.key, SIMPLEBLOB, 0, nullptr, &length));
        EXPECT_EQ(length, 140u);
        Bytes blob(300, 0xEE);
        length = 139;
        EXPECT_FALSE(CryptExportKey(session, token.key, SIMPLEBLOB, 0, blob.data(), &length));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(length, 140u);
        length = static_cast<DWORD>(blob.size());
        const BOOL exported =
            CryptExportKey(session, token.key, SIMPLEBLOB, 0, blob.data(), &length);
        if (bits == 2048) {
            EXPECT_FALSE(exported);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
            EXPECT_TRUE(std::all_of(blob.begin(), blob.begin() + 268, [](BYTE b) {
                return b == 0;
            })) << "the refused blob is zeroed";
            CryptDestroyKey(session);
            continue;
        }
        ASSERT_TRUE(exported) << std::hex << GetLastError();
        ASSERT_EQ(length, 140u);
        HCRYPTKEY unwrapped = 0;
        ASSERT_TRUE(CryptImportKey(token.ctx->get(), blob.data(), 140, token.key, 0, &unwrapped))
            << std::hex << GetLastError();
        const Bytes message(64, 0x3C);
        Bytes data = message;
        data.resize(72);  // room for the padding block
        length = 64;
        ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, data.data(), &length, 72));
        data.resize(length);
        ASSERT_TRUE(CryptDecrypt(unwrapped, 0, TRUE, 0, data.data(), &length));
        EXPECT_EQ(Bytes(data.begin(), data.begin() + length), message);
        CryptDestroyKey(unwrapped);
        CryptDestroyKey(session);
    }
}

Pkey generateRsa(unsigned bits) {
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}

// The PRIVATEKEYBLOB of an OpenSSL key: header, RSAPUBKEY "RSA2", then modulus, prime1, prime2,
// exponent1, exponent2, coefficient and private exponent, little-endian.
Bytes privateKeyBlob(EVP_PKEY* key) {
    const DWORD bits = static_cast<DWORD>(EVP_PKEY_get_bits(key));
    Bytes blob = {PRIVATEKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '2'};
    auto putDword = [&](DWORD v) {
        for (int i = 0; i < 4; ++i) {
            blob.push_back(static_cast<BYTE>(v >> (8 * i)));
        }
    };
    putDword(bits);
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(key, "e", &e);
    putDword(static_cast<DWORD>(BN_get_word(e)));
    BN_free(e);
    const std::pair<const char*, DWORD> parts[] = {
        {"n", bits / 8},
        {"rsa-factor1", bits / 16},
        {"rsa-factor2", bits / 16},
        {"rsa-exponent1", bits / 16},
        {"rsa-exponent2", bits / 16},
        {"rsa-coefficient1", bits / 16},
        {"d", bits / 8},
    };
    for (const auto& [name, size] : parts) {
        BIGNUM* value = nullptr;
        EVP_PKEY_get_bn_param(key, name, &value);
        Bytes bytes(size);
        BN_bn2lebinpad(value, bytes.data(), static_cast<int>(size));
        BN_clear_free(value);
        blob.insert(blob.end(), bytes.begin(), bytes.end());
    }
    return blob;
}

// pkcs11-tool over the bench module, with the environment a child needs to load this build's
// module (the sanitizer runtime in a sanitizer build).
vantor::tokenbench::ToolRun runPkcs11Tool(CK_SLOT_ID slot, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/pkcs11-tool", "--module",
                                     cardtoken::test::modulePath(), "--slot", std::to_string(slot)};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto env = cardtoken::test::childEnvironment();
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    auto run = vantor::tokenbench::runTool(argv);
    for (const auto& [name, value] : env) {
        ::unsetenv(name.c_str());
    }
    return run;
}

// How many private keys with the ID pkcs11-tool lists in the slot; -1 when it failed.
int privateKeysWithId(CK_SLOT_ID slot, const std::string& hexId, std::string* output) {
    const auto run =
        runPkcs11Tool(slot, {"--login", "--pin", "1234", "--list-objects", "--type", "privkey"});
    *output = run.output;
    if (run.status != 0) {
        return -1;
    }
    std::istringstream lines(run.output);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name;
        std::string value;
        words >> name >> value;
        count += name == "ID:" && value == hexId ? 1 : 0;
    }
    return count;
}

// A private key imported for a container replaces the token's key of that ID; blobs of another
// size, or shorter than their size needs, change nothing.
TEST_F(ProviderBench, PrivateKeyImportReplacesTheKeyOfTheId) {
    if (!std::filesystem::exists("/usr/bin/pkcs11-tool")) {
        GTEST_SKIP() << "pkcs11-tool (opensc) missing";
    }
    insert("token-fullp11", 0);
    const CK_SLOT_ID slot = static_cast<CK_SLOT_ID>(bench().readerIndex(0));
    const std::string container = "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\%03";
    Context ctx(container.c_str(), 0);
    ASSERT_TRUE(ctx.ok());
    ASSERT_EQ(ctx.setPin("1234"), 0u) << ctx.lastCardError();
    std::string output;
    ASSERT_EQ(privateKeysWithId(slot, "03", &output), 1) << output;

    const Pkey key = generateRsa(2048);
    const Bytes blob = privateKeyBlob(key.get());
    ASSERT_EQ(blob.size(), 20u + 9 * 2048 / 16);
    const Bytes odd = privateKeyBlob(generateRsa(1536).get());
    struct Refused {
        const Bytes* blob;
        std::size_t length;
    };
    for (const Refused& r :
         {Refused{&odd, odd.size()}, Refused{&blob, blob.size() - 1}, Refused{&blob, 20}}) {
        HCRYPTKEY refused = 0;
        EXPECT_FALSE(CryptImportKey(ctx.get(), r.blob->data(), static_cast<DWORD>(r.length), 0, 0,
                                    &refused));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA)) << r.length;
    }

    HCRYPTKEY imported = 0;
    ASSERT_TRUE(
        CryptImportKey(ctx.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported))
        << std::hex << GetLastError();
    EXPECT_EQ(privateKeysWithId(slot, "03", &output), 1) << output;
    // The token key is now the imported one: its signature verifies with OpenSSL's key.
    const Bytes data(500, 0x21);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(ctx.get(), CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
    Bytes signature(256);
    DWORD size = 256;
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size))
        << std::hex << GetLastError();
    CryptDestroyHash(hash);
    EXPECT_TRUE(opensslVerifies(key.get(), EVP_sha256(), data, signature));
}

// A self-signed certificate of key whose extended key usage includes smart card logon.
Bytes smartLogonCertificate(EVP_PKEY* key) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x1234567);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Logon Holder"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_EXTENSION* eku = X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage,
                                              "1.3.6.1.4.1.311.20.2.2,clientAuth");
    X509_add_ext(cert, eku, -1);
    X509_EXTENSION_free(eku);
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    Bytes bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    X509_free(cert);
    return bytes;
}

// An object's value as pkcs11-tool reads it from the slot (type "cert" by ID, "data" by label).
Bytes readWithPkcs11Tool(CK_SLOT_ID slot, const std::string& type, const std::string& by,
                         const std::string& what, std::string* output) {
    const std::string file = ProviderBench::keysDir() + "/read-object.bin";
    std::filesystem::remove(file);
    const auto run = runPkcs11Tool(slot, {"--login", "--pin", "1234", "--read-object", "--type",
                                          type, by, what, "--output-file", file});
    *output = run.output;
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// KP_CERTIFICATE writes the certificate beside the token key, in place of the one there, and
// the smart-logon marker for a logon certificate; KP_SMARTLOGON writes the marker alone.
TEST_F(ProviderBench, CertificateAndSmartLogonMarkerAreWrittenToTheToken) {
    if (!std::filesystem::exists("/usr/bin/pkcs11-tool")) {
        GTEST_SKIP() << "pkcs11-tool (opensc) missing";
    }
    const std::string reader = "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\";
    const CK_SLOT_ID slot = static_cast<CK_SLOT_ID>(bench().readerIndex(0));
    insert("token-fullp11", 0);
    {
        Context ctx((reader + "%03").c_str(), 0);
        ASSERT_TRUE(ctx.ok());
        ASSERT_EQ(ctx.setPin("1234"), 0u) << ctx.lastCardError();
        HCRYPTKEY card = 0;
        ASSERT_TRUE(CryptGetUserKey(ctx.get(), AT_KEYEXCHANGE, &card));
        const Bytes set = {0x31, 0x03, 0x02, 0x01, 0x00};
        const Bytes fiveByteLength = {0x30, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00};
        for (const Bytes* bad : {&set, &fiveByteLength}) {
            EXPECT_FALSE(CryptSetKeyParam(card, KP_CERTIFICATE, bad->data(), 0));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
        }
        EXPECT_FALSE(CryptSetKeyParam(card, KP_SALT, set.data(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));

        const Pkey key = generateRsa(1024);
        const Bytes der = smartLogonCertificate(key.get());
        ASSERT_FALSE(der.empty());
        ASSERT_TRUE(CryptSetKeyParam(card, KP_CERTIFICATE, der.data(), 0))
            << std::hex << GetLastError();
        Bytes back;
        ASSERT_EQ(ctx.readCertificate(&back), 0u) << "one certificate with the ID";
        EXPECT_EQ(back, der);
        std::string output;
        EXPECT_EQ(readWithPkcs11Tool(slot, "cert", "--id", "03", &output), der) << output;
        const std::string label = "%03";
        EXPECT_EQ(readWithPkcs11Tool(slot, "data", "--label", "CSPSmartLogon", &output),
                  Bytes(label.begin(), label.end()))
            << output;
    }
    insert("token-m4", 0);
    Context ctx((reader + "%02").c_str(), 0);
    ASSERT_TRUE(ctx.ok());
    ASSERT_EQ(ctx.setPin("1234"), 0u) << ctx.lastCardError();
    HCRYPTKEY card = 0;
    ASSERT_TRUE(CryptGetUserKey(ctx.get(), AT_KEYEXCHANGE, &card));
    for (int twice = 0; twice < 2; ++twice) {
        ASSERT_TRUE(CryptSetKeyParam(card, KP_SMARTLOGON, nullptr, 0))
            << std::hex << GetLastError();
    }
    std::string output;
    const std::string label = "%02";
    EXPECT_EQ(readWithPkcs11Tool(slot, "data", "--label", "CSPSmartLogon", &output),
              Bytes(label.begin(), label.end()))
        << output;
    const auto list = runPkcs11Tool(slot, {"--list-objects", "--type", "data"});
    std::size_t markers = 0;
    for (auto at = list.output.find("CSPSmartLogon"); at != std::string::npos;
         at = list.output.find("CSPSmartLogon", at + 1)) {
        ++markers;
    }
    EXPECT_EQ(markers, 1u) << list.output;
}

// The payload of a PKCS#1 v1.5 signature (big-endian) under the public key: what the token was
// given to sign with CKM_RSA_PKCS.
Bytes signedPayload(EVP_PKEY* key, const Bytes& signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(1024);
    size_t length = out.size();
    const bool ok =
        EVP_PKEY_verify_recover_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_verify_recover(ctx, out.data(), &length, signature.data(), signature.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? length : 0);
    return out;
}

// The token signs exactly the DigestInfo of the hash (35 bytes for SHA-1, 51 for SHA-256) with a
// 1024- and a 2048-bit key; the signature comes back little-endian and verifies with OpenSSL.
TEST_F(ProviderBench, TheTokenSignsExactlyTheDigestInfo) {
    const Bytes sha1Prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                              0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    const Bytes sha256Prefix = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    struct Case {
        ALG_ID alg;
        const EVP_MD* md;
        const Bytes* prefix;
        std::size_t digestInfoLength;
    };
    const Case cases[] = {{CALG_SHA1, EVP_sha1(), &sha1Prefix, 35},
                          {CALG_SHA_256, EVP_sha256(), &sha256Prefix, 51}};
    const Bytes data(777, 0x4B);
    for (DWORD bits : {1024u, 2048u}) {
        SCOPED_TRACE(bits);
        TokenKey token;
        ASSERT_NO_FATAL_FAILURE(openTokenKey(*this, bits, &token));
        for (const Case& c : cases) {
            HCRYPTHASH hash = 0;
            ASSERT_TRUE(CryptCreateHash(token.ctx->get(), c.alg, 0, 0, &hash));
            ASSERT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
            DWORD size = 0;
            ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
            EXPECT_EQ(size, bits / 8);
            Bytes signature(size);
            ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size))
                << std::hex << GetLastError();
            CryptDestroyHash(hash);
            ASSERT_EQ(size, bits / 8);
            EXPECT_TRUE(opensslVerifies(token.publicKey.get(), c.md, data, signature)) << c.alg;
            Bytes expected = *c.prefix;
            Bytes digest(EVP_MD_get_size(c.md));
            EVP_Digest(data.data(), data.size(), digest.data(), nullptr, c.md, nullptr);
            expected.insert(expected.end(), digest.begin(), digest.end());
            const Bytes payload = signedPayload(token.publicKey.get(), reversed(signature));
            EXPECT_EQ(payload.size(), c.digestInfoLength) << c.alg;
            EXPECT_EQ(payload, expected) << c.alg;
        }
    }
}

}  // namespace
}  // namespace tvxtest
