// CryptAcquireCertificatePrivateKey through the CryptoAPI front end: a key made in the software
// provider is reached from a certificate's key provider information, and the provider's own
// failure comes back unchanged.
#include "test_pki.h"
#include "win/errhandlingapi.h"
#include "win/wincrypt.h"
#include "win/winerror.h"

using namespace testpki;

namespace {

using CapiKeyTest = PrivateStores;

TEST_F(CapiKeyTest, OpensTheKeyNamedByTheCertificate) {
    std::u16string container = u"crypt32-test-key";
    std::u16string provider = MS_ENHANCED_PROV_W;
    HCRYPTPROV made = 0;
    ASSERT_TRUE(CryptAcquireContextW(&made, container.c_str(), provider.c_str(), PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET))
        << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(made, AT_SIGNATURE, 0, &key)) << std::hex << GetLastError();
    CryptDestroyKey(key);
    CryptReleaseContext(made, 0);

    ContextPtr ctx = decode(hierarchy().root.der);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 99;
    DWORD spec = 0;
    BOOL callerFree = FALSE;
    // No key provider information: nothing to open.
    EXPECT_FALSE(
        CryptAcquireCertificatePrivateKey(ctx.get(), 0, nullptr, &prov, &spec, &callerFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
    EXPECT_EQ(prov, 0u);

    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                             nullptr,          AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(ctx.get(), 0, nullptr, &prov, &spec, &callerFree))
        << std::hex << GetLastError();
    EXPECT_EQ(spec, static_cast<DWORD>(AT_SIGNATURE));
    EXPECT_TRUE(callerFree);
    HCRYPTKEY user = 0;
    EXPECT_TRUE(CryptGetUserKey(prov, spec, &user)) << std::hex << GetLastError();
    CryptDestroyKey(user);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));

    std::u16string missing = u"no-such-container";
    info.pwszContainerName = missing.data();
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    EXPECT_FALSE(
        CryptAcquireCertificatePrivateKey(ctx.get(), 0, nullptr, &prov, &spec, &callerFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(prov, 0u);
}

}  // namespace
