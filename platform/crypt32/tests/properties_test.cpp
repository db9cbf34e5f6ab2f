// Properties: key provider information round trip, size protocol, damaged stored records, and
// the enhanced key usage view of extension and property.
#include <openssl/x509v3.h>

#include "../properties.h"
#include "test_pki.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

using namespace testpki;

namespace {

std::vector<std::string> usages(PCCERT_CONTEXT ctx, DWORD flags, DWORD* lastError) {
    DWORD cb = 0;
    EXPECT_TRUE(CertGetEnhancedKeyUsage(ctx, flags, nullptr, &cb));
    std::vector<BYTE> buf(cb);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buf.data());
    EXPECT_TRUE(CertGetEnhancedKeyUsage(ctx, flags, usage, &cb));
    *lastError = GetLastError();
    std::vector<std::string> out;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        out.emplace_back(usage->rgpszUsageIdentifier[i]);
    }
    return out;
}

Bytes encodeUsage(const std::vector<const char*>& oids) {
    EXTENDED_KEY_USAGE* eku = sk_ASN1_OBJECT_new_null();
    for (const char* o : oids) {
        sk_ASN1_OBJECT_push(eku, OBJ_txt2obj(o, 1));
    }
    int n = i2d_EXTENDED_KEY_USAGE(eku, nullptr);
    Bytes out(static_cast<size_t>(n));
    unsigned char* p = out.data();
    i2d_EXTENDED_KEY_USAGE(eku, &p);
    sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
    return out;
}

TEST(PropertiesTest, KeyProvInfoRoundTripWithParameters) {
    ContextPtr ctx = decode(hierarchy().root.der);
    std::u16string container = u"%01%AB@1234567890";
    std::u16string provider = u"Vantor Cryptographic Service Provider";
    BYTE data[] = {1, 2, 3};
    CRYPT_KEY_PROV_PARAM param{7, data, sizeof(data), 9};
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0x20, 1,
                             &param,           AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));

    DWORD cb = 0;
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    std::vector<BYTE> small(cb - 1);
    DWORD smallCb = cb - 1;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                   small.data(), &smallCb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(smallCb, cb);

    std::vector<BYTE> buf(cb);
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &cb));
    const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    EXPECT_EQ(std::u16string(got->pwszContainerName), container);
    EXPECT_EQ(std::u16string(got->pwszProvName), provider);
    EXPECT_EQ(got->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(got->dwFlags, 0x20u);
    EXPECT_EQ(got->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    ASSERT_EQ(got->cProvParam, 1u);
    EXPECT_EQ(got->rgProvParam[0].dwParam, 7u);
    EXPECT_EQ(Bytes(got->rgProvParam[0].pbData, got->rgProvParam[0].pbData + 3),
              Bytes(data, data + 3));
    // Every pointer stays inside the one buffer handed out.
    for (const void* p : {static_cast<const void*>(got->pwszContainerName),
                          static_cast<const void*>(got->pwszProvName),
                          static_cast<const void*>(got->rgProvParam[0].pbData)}) {
        EXPECT_GE(static_cast<const BYTE*>(p), buf.data());
        EXPECT_LT(static_cast<const BYTE*>(p), buf.data() + buf.size());
    }
    DWORD spec = 0;
    DWORD specCb = sizeof(spec);
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_SPEC_PROP_ID, &spec, &specCb));
    EXPECT_EQ(spec, static_cast<DWORD>(AT_SIGNATURE));

    // Null data deletes the property.
    ASSERT_TRUE(
        CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
    EXPECT_FALSE(
        CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST(PropertiesTest, HashesAreComputedNotStored) {
    ContextPtr ctx = decode(hierarchy().root.der);
    DWORD cb = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, nullptr, &cb));
    EXPECT_EQ(cb, 20u);
    BYTE fake[20] = {};
    CRYPT_DATA_BLOB blob{20, fake};
    EXPECT_FALSE(CertSetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, 0, &blob));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(PropertiesTest, StoredRecordsThatAreDamagedAreRefused) {
    using namespace vantor::crypt32;
    KeyProvInfo k;
    k.container = u"c";
    k.provider = u"p";
    k.keySpec = 2;
    Bytes good = serializeKeyProvInfo(k);
    ASSERT_TRUE(parseKeyProvInfo(good.data(), good.size()));
    Bytes hugeString = good;
    hugeString[16] = 0xFF;  // container length 0x..FF: far past the end
    hugeString[17] = 0xFF;
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes badVersion = good;
    badVersion[0] = 9;
    struct Case {
        const char* name;
        Bytes data;
    } cases[] = {{"empty", {}},
                 {"truncated", Bytes(good.begin(), good.end() - 1)},
                 {"huge_string", hugeString},
                 {"trailing", trailing},
                 {"version", badVersion}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(parseKeyProvInfo(c.data.data(), c.data.size()));
    }
    PropertyMap props{{2, good}, {11, {0x41, 0}}};
    Bytes list = serializeProperties(props);
    ASSERT_EQ(parseProperties(list.data(), list.size()), props);
    Bytes dup = list;
    dup.insert(dup.end(), list.begin(), list.end());
    Bytes zeroId = {0, 0, 0, 0, 0, 0, 0, 0};
    Bytes cut(list.begin(), list.end() - 1);
    for (const Bytes& bad : {dup, zeroId, cut}) {
        EXPECT_FALSE(parseProperties(bad.data(), bad.size()));
    }
}

TEST(PropertiesTest, EnhancedKeyUsageFromExtensionAndProperty) {
    Spec logon{"/CN=Logon", {0x41}};
    logon.eku = {"1.3.6.1.4.1.311.20.2.2", "1.3.6.1.5.5.7.3.2"};
    ContextPtr withExt = decode(make(logon, &hierarchy().intermediate).der);
    ContextPtr without = decode(make(Spec{"/CN=Plain", {0x42}}, &hierarchy().intermediate).der);
    DWORD err = 0;

    EXPECT_EQ(usages(withExt.get(), 0, &err),
              (std::vector<std::string>{"1.3.6.1.4.1.311.20.2.2", "1.3.6.1.5.5.7.3.2"}));
    EXPECT_EQ(err, 0u);
    // Neither extension nor property: no list, and CRYPT_E_NOT_FOUND says "every use".
    EXPECT_TRUE(usages(without.get(), 0, &err).empty());
    EXPECT_EQ(err, static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    Bytes prop = encodeUsage({"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"});
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(prop.size()), prop.data()};
    ASSERT_TRUE(
        CertSetCertificateContextProperty(withExt.get(), CERT_ENHKEY_USAGE_PROP_ID, 0, &blob));
    ASSERT_TRUE(
        CertSetCertificateContextProperty(without.get(), CERT_ENHKEY_USAGE_PROP_ID, 0, &blob));
    struct Case {
        const char* name;
        PCCERT_CONTEXT ctx;
        DWORD flags;
        std::vector<std::string> expected;
    } cases[] = {
        {"both_intersect", withExt.get(), 0, {"1.3.6.1.5.5.7.3.2"}},
        {"ext_only",
         withExt.get(),
         CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG,
         {"1.3.6.1.4.1.311.20.2.2", "1.3.6.1.5.5.7.3.2"}},
        {"prop_only",
         withExt.get(),
         CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG,
         {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}},
        {"property_alone", without.get(), 0, {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(usages(c.ctx, c.flags, &err), c.expected);
    }
    // A short buffer is refused with the size it needs.
    DWORD cb = 0;
    ASSERT_TRUE(CertGetEnhancedKeyUsage(withExt.get(), 0, nullptr, &cb));
    std::vector<BYTE> buf(cb);
    DWORD smaller = cb - 1;
    EXPECT_FALSE(CertGetEnhancedKeyUsage(
        withExt.get(), 0, reinterpret_cast<CERT_ENHKEY_USAGE*>(buf.data()), &smaller));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(smaller, cb);
    // A damaged usage property is an error, not an empty list.
    BYTE junk[] = {0x02, 0x01, 0x00};
    CRYPT_DATA_BLOB bad{sizeof(junk), junk};
    ASSERT_TRUE(
        CertSetCertificateContextProperty(without.get(), CERT_ENHKEY_USAGE_PROP_ID, 0, &bad));
    EXPECT_FALSE(CertGetEnhancedKeyUsage(without.get(), 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
}

}  // namespace
