// The provider on the card bench, as an application meets it: cardtoken.so presents the readers
// as slots and the cards as tokens; the PIN dialog (offscreen) is answered through its widgets;
// signatures and the public key are checked with OpenSSL against the certificate on the token.
#include "bench_fixture.h"
#include "cardtoken_client.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <env_guard.h>
#include <QLineEdit>
#include <QWidget>

#include <cstdlib>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace tvxtest {
namespace {

TEST_F(ProviderBench, SignaturesVerifyWithOpenSslAndThePublicKeyMatches) {
    insert("token-cns", 0);
    const std::string container = "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\%01";
    Context ctx(container.c_str(), 0);
    ASSERT_TRUE(ctx.ok());
    ASSERT_EQ(ctx.setPin("1234"), 0u) << ctx.lastCardError();
    Bytes der;
    ASSERT_EQ(ctx.readCertificate(&der), 0u);
    EVP_PKEY* key = publicKeyOf(der);
    ASSERT_NE(key, nullptr);
    const Bytes data(3000, 0x5A);
    struct Case {
        ALG_ID alg;
        const EVP_MD* md;
    };
    for (const Case& c : {Case{CALG_SHA1, EVP_sha1()}, Case{CALG_SHA_256, EVP_sha256()}}) {
        HCRYPTHASH hash = 0;
        ASSERT_TRUE(CryptCreateHash(ctx.get(), c.alg, 0, 0, &hash));
        ASSERT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
        DWORD size = 0;
        ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
        EXPECT_EQ(size, 256u) << "a 2048-bit key";
        Bytes small(16);
        DWORD smallSize = static_cast<DWORD>(small.size());
        EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, small.data(), &smallSize));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(smallSize, 256u);
        Bytes signature(size);
        ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size))
            << std::hex << GetLastError();
        signature.resize(size);
        EXPECT_TRUE(opensslVerifies(key, c.md, data, signature)) << "algorithm " << c.alg;
        CryptDestroyHash(hash);
    }

    // The PUBLICKEYBLOB: 20 + 256 bytes, the certificate's modulus little-endian.
    HCRYPTKEY card = 0;
    ASSERT_TRUE(CryptGetUserKey(ctx.get(), AT_KEYEXCHANGE, &card));
    DWORD blobSize = 0;
    ASSERT_TRUE(CryptExportKey(card, 0, PUBLICKEYBLOB, 0, nullptr, &blobSize));
    EXPECT_EQ(blobSize, 276u);
    Bytes blob(blobSize);
    ASSERT_TRUE(CryptExportKey(card, 0, PUBLICKEYBLOB, 0, blob.data(), &blobSize));
    EXPECT_FALSE(CryptExportKey(card, 0, PRIVATEKEYBLOB, 0, blob.data(), &blobSize));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
    BIGNUM* n = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key, "n", &n), 1);
    Bytes modulus(256);
    BN_bn2lebinpad(n, modulus.data(), 256);
    BN_free(n);
    EXPECT_EQ(Bytes(blob.begin() + 20, blob.end()), modulus);
    DWORD exponent = 0;
    std::memcpy(&exponent, blob.data() + 16, 4);
    EXPECT_EQ(exponent, 65537u);
    EXPECT_EQ(blob[0], PUBLICKEYBLOB);
    CryptDestroyKey(card);
    EVP_PKEY_free(key);
}

// A new key set: the first bind generates the pair (1024 bits by default), later binds find it;
// exactly one pair carries the ID, and its signature verifies with its exported public key.
TEST_F(ProviderBench, NewKeySetGeneratesExactlyOnePair) {
    insert("token-m4", 0);
    const std::string container = "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\%7A";
    Context ctx(container.c_str(), CRYPT_NEWKEYSET);
    ASSERT_TRUE(ctx.ok());
    ASSERT_EQ(ctx.setPin("1234"), 0u) << ctx.lastCardError();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(ctx.get(), AT_SIGNATURE, 0, &key)) << std::hex << GetLastError();
    EXPECT_FALSE(CryptGenKey(ctx.get(), AT_SIGNATURE, 1536u << 16, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    EXPECT_EQ(size, 148u) << "a 1024-bit key";
    Bytes blob(size);
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    const Bytes data(100, 0x33);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(ctx.get(), CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
    Bytes signature(128);
    DWORD sigSize = 128;
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &sigSize));
    CryptDestroyHash(hash);
    Bytes modulus(blob.rbegin(), blob.rbegin() + 128);  // big-endian
    std::reverse(signature.begin(), signature.end());
    EXPECT_TRUE(cardtoken::test::verifyWithKey(modulus, {0x01, 0x00, 0x01}, data, signature));

    // From outside the provider: one private key with that ID.
    cardtoken::test::Client raw;
    raw.initialize();
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(raw.open(static_cast<CK_SLOT_ID>(bench().readerIndex(0)), &session), CKR_OK);
    ASSERT_EQ(raw.login(session, "1234"), CKR_USER_ALREADY_LOGGED_IN);
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_BYTE id = 0x7A;
    EXPECT_EQ(raw.find(session, {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}}).size(), 1u);
    raw->C_CloseSession(session);
    raw.unload();
}

// A reader-qualified container: the dialog logs in, the key's certificate comes back, and the
// context reads its container name and a clean last card error.
TEST_F(ProviderBench, ReaderQualifiedContainerLogsInThroughTheDialog) {
    insert("token-cns", 0);
    const std::string container =
        "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\" + kCnsContainer;
    Context ctx(container.c_str(), 0);
    ASSERT_TRUE(ctx.ok()) << std::hex << ctx.acquireError();
    EXPECT_EQ(ctx.text(PP_CONTAINER), std::string(kCnsContainer));
    // The first test of its process: the token is not logged in yet. Reading the certificate
    // binds twice (size, then bytes); the second bind finds the login and asks no more.
    std::vector<BYTE> der;
    DialogDriver driver;
    driver.then(typePinAndOk("1234"));
    EXPECT_EQ(driver.run([&] { return ctx.readCertificate(&der); }), 0u);
    EXPECT_EQ(driver.dialogsSeen(), 1);
    EXPECT_EQ(ctx.lastCardError(), 0u);
    ASSERT_GT(der.size(), 100u);
    EXPECT_EQ(der[0], 0x30);
    EXPECT_EQ(ctx.text(PP_CONTAINER), std::string(kCnsContainer));
}

TEST_F(ProviderBench, TwoTokensEnableTheChoiceOneDoesNot) {
    insert("token-cns", 0);
    insert("token-m4", 1);
    struct Seen {
        int entries = -1;
        bool enabled = false;
    };
    auto look = [](Seen* seen, int wanted) {
        return inspect([seen, wanted](QWidget* d) {
            seen->entries = comboCount(d);
            seen->enabled = comboEnabled(d);
            return seen->entries == wanted;
        });
    };
    Seen two;
    {
        Context ctx("%02", 0);
        ctx.setDword(PP_FORCE_PIN, 1);
        DialogDriver driver;
        driver.then(look(&two, 2)).then(cancel());
        driver.run([&] { return ctx.readCertificate(); });
        EXPECT_EQ(ctx.lastCardError(), kPinCancelled);
    }
    EXPECT_EQ(two.entries, 2);
    EXPECT_TRUE(two.enabled);

    ASSERT_TRUE(bench().removeCard(0));
    Seen one;
    {
        Context ctx("%02", 0);
        ctx.setDword(PP_FORCE_PIN, 1);
        DialogDriver driver;
        driver.then(look(&one, 1)).then(typePinAndOk("1234"));
        EXPECT_EQ(driver.run([&] { return ctx.readCertificate(); }), 0u);
        EXPECT_EQ(ctx.lastCardError(), 0u) << "the M4 token's key 02 bound";
    }
    EXPECT_EQ(one.entries, 1);
    EXPECT_FALSE(one.enabled);
}

TEST_F(ProviderBench, PinPadTokenSubmitsAtOnce) {
    insert("token-pinpad", 1);
    Context ctx("%05", 0);
    ASSERT_TRUE(ctx.ok());
    DialogDriver driver;  // no step: nobody types anything; a dialog left open fails the test
    driver.run([&] { return ctx.readCertificate(); });
    EXPECT_EQ(ctx.lastCardError(), 0u);
}

}  // namespace
}  // namespace tvxtest

namespace tvxtest {
namespace {

// Pictures of the dialog for the documentation, made on request only (docs/tvxcsp32/README.md):
// --gtest_also_run_disabled_tests with TVXCSP32_SCREENSHOT_DIR set, under Xvfb with
// QT_QPA_PLATFORM=xcb.
TEST_F(ProviderBench, DISABLED_Screenshots) {
    const char* dir = std::getenv("TVXCSP32_SCREENSHOT_DIR");
    ASSERT_NE(dir, nullptr) << "TVXCSP32_SCREENSHOT_DIR not set";
    auto shoot = [dir](const std::string& name, const char* pin) {
        return inspect([dir, name, pin](QWidget* d) {
            if (comboCount(d) < 1 || comboText(d).startsWith("Wait")) {
                return false;
            }
            if (auto* edit = d->findChild<QLineEdit*>("control1005"); edit && pin) {
                edit->setText(pin);
            }
            d->grab().save(QString::fromStdString(std::string(dir) + "/" + name + ".png"));
            return true;
        });
    };
    insert("token-cns", 0);
    for (const char* lang : {"en", "it"}) {
        EnvGuard env({{"LANG", std::string(lang) == "en" ? "en_US.UTF-8" : "it_IT.UTF-8"}});
        Context ctx("%01", 0);
        ctx.setDword(PP_FORCE_PIN, 1);
        DialogDriver driver;
        driver.then(shoot(std::string("pin-dialog-one-token-") + lang, "12")).then(cancel());
        driver.run([&] { return ctx.readCertificate(); });
    }
    insert("token-m4", 1);
    for (const char* lang : {"en", "it"}) {
        EnvGuard env({{"LANG", std::string(lang) == "en" ? "en_US.UTF-8" : "it_IT.UTF-8"}});
        Context ctx("%01", 0);
        ctx.setDword(PP_FORCE_PIN, 1);
        DialogDriver driver;
        driver.then(inspect([](QWidget* d) { return comboCount(d) == 2; }))
            .then(shoot(std::string("pin-dialog-two-tokens-") + lang, nullptr))
            .then(cancel());
        driver.run([&] { return ctx.readCertificate(); });
    }
    ASSERT_TRUE(bench().removeCard(0));
    ASSERT_TRUE(bench().removeCard(1));
    for (const char* lang : {"en", "it"}) {
        EnvGuard env({{"LANG", std::string(lang) == "en" ? "en_US.UTF-8" : "it_IT.UTF-8"}});
        Context ctx("%01", 0);
        DialogDriver driver;
        driver.then(shoot(std::string("pin-dialog-no-token-") + lang, nullptr)).then(cancel());
        driver.run([&] { return ctx.readCertificate(); });
    }
}

}  // namespace
}  // namespace tvxtest
