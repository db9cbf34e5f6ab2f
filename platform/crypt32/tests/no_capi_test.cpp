// CryptAcquireCertificatePrivateKey in a program without a CryptoAPI front end: a clear error,
// never a crash through a missing function.
#include "test_pki.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

using namespace testpki;

TEST(NoCapiTest, FailsWithProviderNotFound) {
    ContextPtr ctx = decode(hierarchy().root.der);
    std::u16string container = u"c@1";
    std::u16string provider = u"Vantor Cryptographic Service Provider";
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                             nullptr,          AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 5;
    DWORD spec = 0;
    BOOL callerFree = FALSE;
    EXPECT_FALSE(
        CryptAcquireCertificatePrivateKey(ctx.get(), 0, nullptr, &prov, &spec, &callerFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND));
    EXPECT_EQ(prov, 0u);
}
