// The size protocol on every getter: a null buffer asks for the size, a short buffer gets the
// size and ERROR_MORE_DATA with nothing written, an exact one the data.
#include <functional>

#include "capi_test_support.h"

using namespace capitest;

namespace {

using Getter = std::function<BOOL(BYTE*, DWORD*)>;

class BufferProtocol : public PrivateStore {
  protected:
    void SetUp() override {
        PrivateStore::SetUp();
        ASSERT_TRUE(CryptAcquireContextA(&prov_, "buffers", MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                         CRYPT_NEWKEYSET));
        ASSERT_TRUE(CryptGenKey(prov_, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &rsa_));
        ASSERT_TRUE(CryptGenKey(prov_, CALG_3DES, CRYPT_EXPORTABLE, &des_));
        ASSERT_TRUE(CryptCreateHash(prov_, CALG_SHA_256, 0, 0, &hash_));
    }
    void TearDown() override {
        CryptDestroyHash(hash_);
        CryptDestroyKey(des_);
        CryptDestroyKey(rsa_);
        CryptReleaseContext(prov_, 0);
        PrivateStore::TearDown();
    }
    HCRYPTPROV prov_ = 0;
    HCRYPTKEY rsa_ = 0, des_ = 0;
    HCRYPTHASH hash_ = 0;
};

}  // namespace

TEST_F(BufferProtocol, EveryGetterFollowsIt) {
    auto prov = [&](DWORD param, DWORD flags = 0) {
        return Getter(
            [=, this](BYTE* b, DWORD* l) { return CryptGetProvParam(prov_, param, b, l, flags); });
    };
    auto keyParam = [&](HCRYPTKEY k, DWORD param) {
        return Getter([=](BYTE* b, DWORD* l) { return CryptGetKeyParam(k, param, b, l, 0); });
    };
    auto hashParam = [&](DWORD param) {
        return Getter(
            [=, this](BYTE* b, DWORD* l) { return CryptGetHashParam(hash_, param, b, l, 0); });
    };
    const std::vector<std::pair<const char*, Getter>> getters = {
        {"PP_NAME", prov(PP_NAME)},
        {"PP_CONTAINER", prov(PP_CONTAINER)},
        {"PP_UNIQUE_CONTAINER", prov(PP_UNIQUE_CONTAINER)},
        {"PP_IMPTYPE", prov(PP_IMPTYPE)},
        {"PP_PROVTYPE", prov(PP_PROVTYPE)},
        {"PP_VERSION", prov(PP_VERSION)},
        {"PP_KEYSPEC", prov(PP_KEYSPEC)},
        {"PP_SIG_KEYSIZE_INC", prov(PP_SIG_KEYSIZE_INC)},
        {"PP_ENUMALGS", prov(PP_ENUMALGS, CRYPT_FIRST)},
        {"PP_ENUMALGS_EX", prov(PP_ENUMALGS_EX, CRYPT_FIRST)},
        {"PP_ENUMCONTAINERS", prov(PP_ENUMCONTAINERS, CRYPT_FIRST)},
        {"KP_ALGID", keyParam(des_, KP_ALGID)},
        {"KP_KEYLEN", keyParam(des_, KP_KEYLEN)},
        {"KP_IV", keyParam(des_, KP_IV)},
        {"KP_MODE", keyParam(des_, KP_MODE)},
        {"KP_PERMISSIONS rsa", keyParam(rsa_, KP_PERMISSIONS)},
        {"KP_KEYLEN rsa", keyParam(rsa_, KP_KEYLEN)},
        {"HP_ALGID", hashParam(HP_ALGID)},
        {"HP_HASHSIZE", hashParam(HP_HASHSIZE)},
        {"HP_HASHVAL", hashParam(HP_HASHVAL)},
        {"PUBLICKEYBLOB",
         [&](BYTE* b, DWORD* l) { return CryptExportKey(rsa_, 0, PUBLICKEYBLOB, 0, b, l); }},
        {"PRIVATEKEYBLOB",
         [&](BYTE* b, DWORD* l) { return CryptExportKey(rsa_, 0, PRIVATEKEYBLOB, 0, b, l); }},
        {"SIMPLEBLOB",
         [&](BYTE* b, DWORD* l) { return CryptExportKey(des_, rsa_, SIMPLEBLOB, 0, b, l); }},
        {"PLAINTEXTKEYBLOB",
         [&](BYTE* b, DWORD* l) { return CryptExportKey(des_, 0, PLAINTEXTKEYBLOB, 0, b, l); }},
        {"CryptSignHash",
         [&](BYTE* b, DWORD* l) {
             HCRYPTHASH h = 0;
             CryptCreateHash(prov_, CALG_SHA1, 0, 0, &h);
             const BOOL ok = CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, b, l);
             const DWORD e = GetLastError();
             CryptDestroyHash(h);
             SetLastError(e);
             return ok;
         }},
        {"CryptEncrypt rsa",
         [&](BYTE* b, DWORD* l) {
             // The caller's length is both the buffer size and, on input, the data length.
             DWORD data = 3;
             const DWORD buffer = *l;
             const BOOL ok = CryptEncrypt(rsa_, 0, TRUE, 0, b, &data, buffer);
             *l = data;
             return ok;
         }},
        {"CryptEnumProvidersA",
         [](BYTE* b, DWORD* l) {
             DWORD type = 0;
             return CryptEnumProvidersA(0, nullptr, 0, &type, reinterpret_cast<LPSTR>(b), l);
         }},
    };
    for (const auto& [name, get] : getters) {
        SCOPED_TRACE(name);
        DWORD size = 0xDEAD;
        ASSERT_TRUE(get(nullptr, &size)) << std::hex << GetLastError();
        ASSERT_GT(size, 0u);
        ASSERT_LT(size, 4096u);
        Bytes buffer(size + 8, 0xCC);
        DWORD shortSize = size - 1;
        EXPECT_FALSE(get(buffer.data(), &shortSize));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(shortSize, size);
        EXPECT_EQ(buffer, Bytes(size + 8, 0xCC)) << "written although too short";
        DWORD exact = size;
        EXPECT_TRUE(get(buffer.data(), &exact)) << std::hex << GetLastError();
        EXPECT_LE(exact, size);
        EXPECT_TRUE(std::all_of(buffer.begin() + size, buffer.end(),
                                [](std::uint8_t b) { return b == 0xCC; }));
    }
}

TEST_F(BufferProtocol, EnumerationWalksEveryEntryOnce) {
    for (const char* name : {"alpha", "beta"}) {
        HCRYPTPROV p = 0;
        ASSERT_TRUE(
            CryptAcquireContextA(&p, name, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        CryptReleaseContext(p, 0);
    }
    std::vector<std::string> names;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        char buffer[300];
        DWORD size = 0;
        // The size query of a walk answers the longest name and does not advance.
        if (!CryptGetProvParam(prov_, PP_ENUMCONTAINERS, nullptr, &size, flags)) {
            break;
        }
        EXPECT_EQ(size, 8u);  // "buffers" and its NUL
        size = sizeof buffer;
        ASSERT_TRUE(CryptGetProvParam(prov_, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer),
                                      &size, flags));
        names.emplace_back(buffer);
        flags = CRYPT_NEXT;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "buffers"}));
}
