// Decoding into CERT_INFO: the Windows shapes the suite reads, and clear errors for bad bytes.
#include <openssl/x509.h>

#include <cstring>
#include <ctime>

#include "test_pki.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

using namespace testpki;

namespace {

Bytes blob(const CRYPTOAPI_BLOB& b) {
    return Bytes(b.pbData, b.pbData + b.cbData);
}

std::uint64_t ticks(const FILETIME& ft) {
    return static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

std::vector<std::string> extensionOids(PCCERT_CONTEXT ctx) {
    std::vector<std::string> out;
    for (DWORD i = 0; i < ctx->pCertInfo->cExtension; ++i) {
        out.push_back(ctx->pCertInfo->rgExtension[i].pszObjId);
    }
    return out;
}

struct SerialCase {
    const char* name;
    Bytes value;     // big-endian serial value given to OpenSSL
    Bytes expected;  // SerialNumber as Windows hands it out (content octets, LSB first)
};

class SerialTest : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialTest, ContentOctetsLeastSignificantFirst) {
    const auto& c = GetParam();
    Spec spec{"/CN=Serial"};
    spec.serial = c.value;
    ContextPtr ctx = decode(make(spec).der);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(blob(ctx->pCertInfo->SerialNumber), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Serials, SerialTest,
    ::testing::Values(
        // A1 has its top bit set, so DER keeps a leading 00: the octets are 00 A1 B2.
        SerialCase{"leading_zero", {0xA1, 0xB2}, {0xB2, 0xA1, 0x00}},
        SerialCase{"plain", {0x01, 0x02, 0x03}, {0x03, 0x02, 0x01}},
        SerialCase{"one_byte", {0x05}, {0x05}},
        SerialCase{"long",
                   {0x7F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18},
                   {18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0x7F}}),
    [](const auto& info) { return info.param.name; });

TEST(DecodeTest, FieldsOfCaIntermediateAndLeaves) {
    const Hierarchy& h = hierarchy();
    Spec logon{"/C=IT/O=Vantor Test/CN=Mario Rossi", {0x21}};
    logon.eku = {"1.3.6.1.4.1.311.20.2.2", "clientAuth"};
    Issued leaf = make(logon, &h.intermediate);
    Issued plain = make(Spec{"/C=IT/O=Vantor Test/CN=No Usage", {0x22}}, &h.intermediate);

    struct Case {
        const char* name;
        const Issued* cert;
        const Issued* issuer;
        bool hasEku;
    } cases[] = {
        {"root", &h.root, &h.root, false},
        {"intermediate", &h.intermediate, &h.root, false},
        {"smartcard_leaf", &leaf, &h.intermediate, true},
        {"leaf_without_usage", &plain, &h.intermediate, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ContextPtr ctx = decode(c.cert->der);
        ASSERT_TRUE(ctx);
        ContextPtr issuer = decode(c.issuer->der);
        const CERT_INFO& info = *ctx->pCertInfo;
        EXPECT_EQ(ctx->dwCertEncodingType,
                  static_cast<DWORD>(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
        EXPECT_EQ(Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded), c.cert->der);
        EXPECT_EQ(info.dwVersion, static_cast<DWORD>(CERT_V3));
        // Issuer blob of the certificate = subject blob of its issuer, byte for byte.
        EXPECT_EQ(blob(info.Issuer), blob(issuer->pCertInfo->Subject));
        EXPECT_EQ(blob(info.Issuer) == blob(info.Subject), c.cert == c.issuer);
        EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
        EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
        EXPECT_GT(info.SubjectPublicKeyInfo.PublicKey.cbData, 256u);
        EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
        auto oids = extensionOids(ctx.get());
        EXPECT_EQ(std::count(oids.begin(), oids.end(), "2.5.29.19"), 1);  // basic constraints
        EXPECT_EQ(std::count(oids.begin(), oids.end(), "2.5.29.37"), c.hasEku ? 1 : 0);
        for (DWORD i = 0; i < info.cExtension; ++i) {
            if (std::strcmp(info.rgExtension[i].pszObjId, "2.5.29.19") == 0) {
                EXPECT_TRUE(info.rgExtension[i].fCritical ==
                            (c.cert == &h.root || c.cert == &h.intermediate));
            }
        }
    }
}

TEST(DecodeTest, ValidityIsFileTimeSince1601) {
    Spec spec{"/CN=Validity"};
    spec.notBeforeOffset = -7200;
    spec.lifetime = 86400;
    time_t before = time(nullptr);
    ContextPtr ctx = decode(make(spec).der);
    ASSERT_TRUE(ctx);
    auto toTicks = [](std::int64_t unix) {
        return static_cast<std::uint64_t>((unix + 11644473600LL) * 10000000LL);
    };
    std::uint64_t nb = ticks(ctx->pCertInfo->NotBefore);
    std::uint64_t na = ticks(ctx->pCertInfo->NotAfter);
    EXPECT_GE(nb, toTicks(before - 7200 - 2));
    EXPECT_LE(nb, toTicks(before - 7200 + 2));
    EXPECT_EQ(na - nb, 86400ull * 10000000ull);
}

TEST(DecodeTest, UndecodableBlobsGiveClearErrors) {
    const Bytes& good = hierarchy().root.der;
    Bytes truncated(good.begin(), good.begin() + good.size() / 2);
    Bytes flipped = good;
    flipped[0] = 0x31;  // SET instead of SEQUENCE
    Bytes text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
    Bytes notACert = {0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02};
    struct Case {
        const char* name;
        Bytes data;
        HRESULT error;
    } cases[] = {
        {"empty", {}, CRYPT_E_ASN1_EOD},
        {"truncated", truncated, CRYPT_E_ASN1_EOD},
        {"wrong_outer_tag", flipped, CRYPT_E_ASN1_BADTAG},
        {"text", text, CRYPT_E_ASN1_BADTAG},
        {"sequence_of_integers", notACert, CRYPT_E_ASN1_BADTAG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING,
                                                          c.data.empty() ? nullptr : c.data.data(),
                                                          static_cast<DWORD>(c.data.size()));
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error));
    }
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(0x2, good.data(), static_cast<DWORD>(good.size())),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(DecodeTest, PaddingAfterTheCertificateIsNotPartOfIt) {
    // Some tokens return certificate values padded to a block size.
    Bytes padded = hierarchy().root.der;
    padded.insert(padded.end(), 16, 0x00);
    ContextPtr ctx = decode(padded);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->cbCertEncoded, hierarchy().root.der.size());
}

TEST(DecodeTest, DuplicateSharesAndFreeCountsReferences) {
    PCCERT_CONTEXT a =
        CertCreateCertificateContext(X509_ASN_ENCODING, hierarchy().root.der.data(),
                                     static_cast<DWORD>(hierarchy().root.der.size()));
    ASSERT_NE(a, nullptr);
    PCCERT_CONTEXT b = CertDuplicateCertificateContext(a);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(CertFreeCertificateContext(a));
    // Still alive through the duplicate.
    EXPECT_EQ(b->cbCertEncoded, hierarchy().root.der.size());
    EXPECT_TRUE(CertFreeCertificateContext(b));
    // Gone now: a stale pointer is refused, not followed.
    EXPECT_FALSE(CertFreeCertificateContext(b));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

}  // namespace
