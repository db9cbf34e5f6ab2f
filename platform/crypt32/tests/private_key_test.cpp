// CryptAcquireCertificatePrivateKey in a program that carries a CryptoAPI front end: this test
// program defines CryptAcquireContextW itself and records what it is asked for.
#include "test_pki.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

using namespace testpki;

namespace {
struct Call {
    std::u16string container;
    std::u16string provider;
    DWORD type = 0;
    DWORD flags = 0;
    int count = 0;
} g_call;
}  // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
    g_call = {szContainer ? szContainer : u"", szProvider ? szProvider : u"", dwProvType, dwFlags,
              g_call.count + 1};
    if (g_call.container == u"missing") {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return FALSE;
    }
    *phProv = 0x1234;
    return TRUE;
}

namespace {

TEST(PrivateKeyTest, OpensTheProviderNamedByKeyProvInfo) {
    ContextPtr ctx = decode(hierarchy().root.der);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 99;
    DWORD spec = 0;
    BOOL callerFree = FALSE;
    EXPECT_FALSE(
        CryptAcquireCertificatePrivateKey(ctx.get(), 0, nullptr, &prov, &spec, &callerFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
    EXPECT_EQ(prov, 0u);
    EXPECT_EQ(g_call.count, 0);

    std::u16string container = u"%01@1234";
    std::u16string provider = u"Vantor Cryptographic Service Provider";
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                             nullptr,          AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    ASSERT_TRUE(
        CryptAcquireCertificatePrivateKey(ctx.get(), 0, nullptr, &prov, &spec, &callerFree));
    EXPECT_EQ(prov, 0x1234u);
    EXPECT_EQ(spec, static_cast<DWORD>(AT_SIGNATURE));
    EXPECT_TRUE(callerFree);
    EXPECT_EQ(g_call.container, container);
    EXPECT_EQ(g_call.provider, provider);
    EXPECT_EQ(g_call.type, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(g_call.flags, 0u);

    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(ctx.get(), CRYPT_ACQUIRE_SILENT_FLAG, nullptr,
                                                  &prov, &spec, &callerFree));
    EXPECT_EQ(g_call.flags, static_cast<DWORD>(CRYPT_SILENT));

    // The provider's own failure comes back unchanged.
    std::u16string missing = u"missing";
    info.pwszContainerName = missing.data();
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    EXPECT_FALSE(
        CryptAcquireCertificatePrivateKey(ctx.get(), 0, nullptr, &prov, &spec, &callerFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

}  // namespace
