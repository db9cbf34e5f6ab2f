// The forwarding provider registered under a second name, on the card bench: contexts, hashes
// and signatures through it are the card provider's, and its signatures verify with OpenSSL.
#include <openssl/pem.h>

#include <cstdio>

#include "bench_fixture.h"
#include "win/winreg.h"

namespace vantor1test {
namespace {

using tvxtest::Bytes;
using tvxtest::ProviderBench;

constexpr char kForwardingProvider[] = "Vantor Forwarding Cryptographic Service Provider";

// The registration csptool writes: the image path and the provider type under the name.
void registerForwarder() {
    const std::string key = std::string(VANTOR_CRYPT_PROVIDER_KEY) + "\\" + kForwardingProvider;
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    const std::string image = FORWARDER_IMAGE;
    const DWORD type = PROV_RSA_FULL;
    RegSetValueExA(handle, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                   static_cast<DWORD>(image.size() + 1));
    RegSetValueExA(handle, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
    RegCloseKey(handle);
}

// The public key of the certificate the bench loaded onto the CNS token.
EVP_PKEY* benchCnsKey() {
    FILE* file = std::fopen((ProviderBench::keysDir() + "/cns-cert.pem").c_str(), "r");
    if (file == nullptr) {
        return nullptr;
    }
    X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    EVP_PKEY* key = cert != nullptr ? X509_get_pubkey(cert) : nullptr;
    X509_free(cert);
    return key;
}

// Contexts, hashes and signatures through the second name, three times over; any failure the
// card provider gives comes back as it gives it.
void signRounds(const std::string& container, EVP_PKEY* key) {
    for (int round = 0; round < 3; ++round) {
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(
            CryptAcquireContextA(&prov, container.c_str(), kForwardingProvider, PROV_RSA_FULL, 0))
            << std::hex << GetLastError();
        // The card provider's own parameters answer through the second name.
        char name[256] = {};
        DWORD size = sizeof name;
        ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
        EXPECT_STREQ(name, tvxtest::kProvider);
        const std::string pin = "1234";
        ASSERT_TRUE(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN,
                                      reinterpret_cast<const BYTE*>(pin.c_str()), 0))
            << std::hex << GetLastError();

        const Bytes data(1000 + round, static_cast<BYTE>(0x30 + round));
        HCRYPTHASH hash = 0;
        ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
        ASSERT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
        Bytes signature(256);
        size = static_cast<DWORD>(signature.size());
        ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size))
            << std::hex << GetLastError();
        signature.resize(size);
        EXPECT_TRUE(tvxtest::opensslVerifies(key, EVP_sha256(), data, signature)) << round;
        Bytes small(8);
        DWORD smallSize = static_cast<DWORD>(small.size());
        EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, small.data(), &smallSize));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(smallSize, 256u);
        CryptDestroyHash(hash);
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    }
}

TEST_F(ProviderBench, ForwardingProviderSignsWithTheTokenKey) {
    registerForwarder();
    insert("token-cns", 0);
    EVP_PKEY* key = benchCnsKey();
    ASSERT_NE(key, nullptr);
    const std::string container =
        "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\" + tvxtest::kCnsContainer;
    // A window the provider opened would be closed after the time-out, so a dialog that should
    // not appear fails the test instead of hanging it.
    tvxtest::DialogDriver driver;
    driver.run(
        [&] {
            signRounds(container, key);
            return DWORD{0};
        },
        20000);
    EXPECT_EQ(driver.dialogsSeen(), 0);
    EVP_PKEY_free(key);
}

}  // namespace
}  // namespace vantor1test
