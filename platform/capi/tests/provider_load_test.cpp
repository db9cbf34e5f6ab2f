// Providers registered by name are loaded from their "Image Path" and driven through their CP*
// entry points; a bad registration fails with the documented codes.
#include <cstring>

#include "capi_test_support.h"
#include "win/winreg.h"

using namespace capitest;

namespace {

constexpr const char* kName = "Vantor Test Provider";

void registerProvider(const char* name, const char* image, DWORD type) {
    const std::string path = std::string(VANTOR_CRYPT_PROVIDER_KEY) + "\\" + name;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (image != nullptr) {
        ASSERT_EQ(RegSetValueExA(key, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image),
                                 static_cast<DWORD>(std::strlen(image) + 1)),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class ProviderLoad : public PrivateStore {};

}  // namespace

TEST_F(ProviderLoad, RegisteredImageIsLoadedByName) {
    registerProvider(kName, TEST_PROVIDER_IMAGE, PROV_RSA_FULL);
    HCRYPTPROV p = 0;
    ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, kName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        << std::hex << GetLastError();
    // The image saw its registered name and type through VTableProvStruc.
    char name[64];
    DWORD size = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(p, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_STREQ(name, kName);
    Bytes random(16, 0);
    ASSERT_TRUE(CryptGenRandom(p, 16, random.data()));
    EXPECT_EQ(random, Bytes(16, 0x5A));

    // Its handles are 1, as are the first ones of other providers; the front end keeps them
    // apart, so a hash of the image cannot be used with a key of the software provider.
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, random.data(), 16, 0));
    HCRYPTPROV soft = 0;
    ASSERT_TRUE(CryptAcquireContextA(&soft, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGenKey(soft, AT_KEYEXCHANGE, 512u << 16, &k));
    EXPECT_FALSE(CryptVerifySignatureA(h, random.data(), 16, k, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    // A failure inside the image comes back with the image's own last error: every module
    // shares the process's one last-error value per thread.
    EXPECT_FALSE(CryptSetProvParam(p, PP_CLIENT_HWND, nullptr, 0));
    EXPECT_EQ(GetLastError(), 0x8010006Bu);

    // Both the registered image and the built-in providers are listed.
    std::vector<std::string> listed;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0;
        char buffer[128];
        DWORD length = sizeof buffer;
        if (!CryptEnumProvidersA(i, nullptr, 0, &type, buffer, &length)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        listed.emplace_back(buffer);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{MS_DEF_PROV_A, MS_ENHANCED_PROV_A, kName}));
    CryptDestroyKey(k);
    CryptDestroyHash(h);
    CryptReleaseContext(soft, 0);
    CryptReleaseContext(p, 0);
}

TEST_F(ProviderLoad, BadRegistrationsFailWithTheirCodes) {
    struct Case {
        const char* name;
        const char* image;
        DWORD type;
        DWORD expected;
    };
    const Case cases[] = {
        {"Missing Image", "/nonexistent/provider.so", PROV_RSA_FULL,
         static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND)},
        // A real library without the provider entry points.
        {"Not A Provider", "libm.so.6", PROV_RSA_FULL, static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL)},
        {"Other Type", TEST_PROVIDER_IMAGE, 24, static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH)},
        {"No Image Path", nullptr, PROV_RSA_FULL, static_cast<DWORD>(NTE_PROV_TYPE_ENTRY_BAD)},
    };
    for (const Case& c : cases) {
        registerProvider(c.name, c.image, c.type);
        HCRYPTPROV p = 0;
        EXPECT_FALSE(CryptAcquireContextA(&p, nullptr, c.name, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
            << c.name;
        EXPECT_EQ(GetLastError(), c.expected) << c.name;
        EXPECT_EQ(p, 0u);
    }
}

TEST_F(ProviderLoad, ImageWithItsOwnFrontEndSharesTheKeyStore) {
    // The image holds a second copy of the front end, as a card provider linking CryptoAPI does.
    registerProvider("Forwarding Provider", FORWARDING_PROVIDER_IMAGE, PROV_RSA_FULL);
    HCRYPTPROV p = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&p, "through", "Forwarding Provider", PROV_RSA_FULL, CRYPT_NEWKEYSET))
        << std::hex << GetLastError();
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, CALG_SHA_256, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>("data"), 4, 0));
    Bytes sig(128);
    DWORD size = 128;
    ASSERT_TRUE(CryptSignHashA(h, AT_SIGNATURE, "described", 0, sig.data(), &size));
    Bytes pub(148);
    size = 148;
    ASSERT_TRUE(CryptExportKey(k, 0, PUBLICKEYBLOB, 0, pub.data(), &size));
    CryptDestroyHash(h);
    CryptDestroyKey(k);
    ASSERT_TRUE(CryptReleaseContext(p, 0));

    // This process's own front end sees the container the image's copy made, and its key
    // verifies the signature.
    ASSERT_TRUE(CryptAcquireContextA(&p, "through", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
    HCRYPTKEY user = 0;
    ASSERT_TRUE(CryptGetUserKey(p, AT_SIGNATURE, &user));
    Bytes mine(148);
    size = 148;
    ASSERT_TRUE(CryptExportKey(user, 0, PUBLICKEYBLOB, 0, mine.data(), &size));
    EXPECT_EQ(mine, pub);
    ASSERT_TRUE(CryptCreateHash(p, CALG_SHA_256, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>("data"), 4, 0));
    EXPECT_TRUE(CryptVerifySignatureA(h, sig.data(), 128, user, nullptr, 0));
    CryptDestroyHash(h);
    CryptDestroyKey(user);
    CryptReleaseContext(p, 0);
}
