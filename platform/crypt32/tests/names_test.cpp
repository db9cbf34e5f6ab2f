// Names: the display rules of CertGetNameString and the CertNameToStr formats.
#include "crypt32/certificate.h"
#include "test_pki.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

using namespace testpki;

namespace {

std::string nameOf(PCCERT_CONTEXT ctx, DWORD type, DWORD flags = 0, void* para = nullptr) {
    DWORD n = CertGetNameStringA(ctx, type, flags, para, nullptr, 0);
    std::string s(n, '\0');
    CertGetNameStringA(ctx, type, flags, para, s.data(), n);
    s.resize(n - 1);
    return s;
}

TEST(NamesTest, DisplayNamesWithAndWithoutCommonName) {
    struct Case {
        const char* name;
        Spec spec;
        const char16_t* friendly;  // property set on the context, or null
        const char* simple;
        const char* friendlyDisplay;
    } cases[] = {
        {"cn", {"/C=IT/O=Vantor Test/CN=Mario Rossi"}, nullptr, "Mario Rossi", "Mario Rossi"},
        {"cn_with_friendly",
         {"/C=IT/O=Vantor Test/CN=Mario Rossi"},
         u"Firma Mario",
         "Mario Rossi",
         "Firma Mario"},
        {"ou_without_cn", {"/C=IT/O=Vantor Test/OU=Sportello"}, nullptr, "Sportello", "Sportello"},
        {"o_without_cn", {"/C=IT/O=Vantor Test"}, nullptr, "Vantor Test", "Vantor Test"},
        {"email_attribute",
         {"/C=IT/emailAddress=mario@example.it"},
         nullptr,
         "mario@example.it",
         "mario@example.it"},
        {"only_country", {"/C=IT/L=Roma"}, nullptr, "IT", "IT"},
        {"utf8", {"/C=IT/CN=Niccolò Già"}, nullptr, "Niccolò Già", "Niccolò Già"},
    };
    Spec withAlt{"/C=IT/L=Roma", {0x02}};
    withAlt.emails = {"alt@example.it"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ContextPtr ctx = decode(make(c.spec).der);
        ASSERT_TRUE(ctx);
        if (c.friendly) {
            setFriendlyName(ctx.get(), c.friendly);
        }
        EXPECT_EQ(nameOf(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE), c.simple);
        EXPECT_EQ(nameOf(ctx.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE), c.friendlyDisplay);
    }
    // No CN, OU, O or e-mail attribute: the alternative name's e-mail comes before the first
    // attribute.
    ContextPtr alt = decode(make(withAlt).der);
    EXPECT_EQ(nameOf(alt.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE), "alt@example.it");
    EXPECT_EQ(nameOf(alt.get(), CERT_NAME_EMAIL_TYPE), "alt@example.it");
}

TEST(NamesTest, IssuerFlagAndAttributeType) {
    Issued leaf = make(Spec{"/C=IT/CN=Leaf", {0x03}}, &hierarchy().intermediate);
    ContextPtr ctx = decode(leaf.der);
    EXPECT_EQ(nameOf(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG),
              "Vantor Test Issuing CA");
    char org[] = szOID_ORGANIZATION_NAME;
    EXPECT_EQ(nameOf(ctx.get(), CERT_NAME_ATTR_TYPE, CERT_NAME_ISSUER_FLAG, org), "Vantor Test");
    EXPECT_EQ(nameOf(ctx.get(), CERT_NAME_ATTR_TYPE, 0, org), "");
    DWORD x500 = CERT_X500_NAME_STR;
    EXPECT_EQ(nameOf(ctx.get(), CERT_NAME_RDN_TYPE, 0, &x500), "C=IT, CN=Leaf");
    EXPECT_EQ(nameOf(ctx.get(), CERT_NAME_EMAIL_TYPE), "");
}

TEST(NamesTest, BufferProtocol) {
    ContextPtr ctx = decode(make(Spec{"/CN=Twelve chars"}).der);
    EXPECT_EQ(CertGetNameStringA(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0),
              13u);
    char small[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    // Truncated to fit, terminated, and never written past the given size.
    EXPECT_EQ(CertGetNameStringA(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, 5),
              5u);
    EXPECT_STREQ(small, "Twel");
    EXPECT_EQ(small[5], 'x');
    char16_t wide[32];
    EXPECT_EQ(CertGetNameStringW(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, wide, 32),
              13u);
    EXPECT_EQ(std::u16string(wide), u"Twelve chars");
    // A multi-byte character is never cut in half.
    ContextPtr accented = decode(make(Spec{"/CN=aàb"}).der);
    char three[3];
    EXPECT_EQ(
        CertGetNameStringA(accented.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, three, 3),
        2u);
    EXPECT_STREQ(three, "a");
    // No certificate: the empty name.
    char one[4] = "zz";
    EXPECT_EQ(CertGetNameStringA(nullptr, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, one, 4), 1u);
    EXPECT_STREQ(one, "");
}

TEST(NamesTest, NameToStrFormats) {
    ContextPtr ctx =
        decode(make(Spec{"/C=IT/O=Rossi, Bianchi & C./OU=A+B/CN=Mario \"Super\" Rossi"}).der);
    CERT_NAME_BLOB subject = ctx->pCertInfo->Subject;
    auto str = [&](DWORD type) {
        DWORD n = CertNameToStrA(X509_ASN_ENCODING, &subject, type, nullptr, 0);
        std::string s(n, '\0');
        CertNameToStrA(X509_ASN_ENCODING, &subject, type, s.data(), n);
        s.resize(n - 1);
        return s;
    };
    struct Case {
        DWORD type;
        const char* text;
    } cases[] = {
        {CERT_SIMPLE_NAME_STR,
         "IT, \"Rossi, Bianchi & C.\", \"A+B\", \"Mario \"\"Super\"\" Rossi\""},
        {CERT_OID_NAME_STR,
         "2.5.4.6=IT, 2.5.4.10=\"Rossi, Bianchi & C.\", 2.5.4.11=\"A+B\", 2.5.4.3=\"Mario "
         "\"\"Super\"\" Rossi\""},
        {CERT_X500_NAME_STR,
         "C=IT, O=\"Rossi, Bianchi & C.\", OU=\"A+B\", CN=\"Mario \"\"Super\"\" Rossi\""},
        {CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
         "CN=\"Mario \"\"Super\"\" Rossi\", OU=\"A+B\", O=\"Rossi, Bianchi & C.\", C=IT"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_SEMICOLON_FLAG,
         "C=IT; O=Rossi, Bianchi & C.; OU=A+B; CN=Mario \"Super\" Rossi"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG,
         "C=IT\r\nO=Rossi, Bianchi & C.\r\nOU=A+B\r\nCN=Mario \"Super\" Rossi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(str(c.type), c.text);
    }
    // An undecodable name gives the empty string and a clear error.
    BYTE junk[] = {0x04, 0x02, 0x41, 0x42};
    CERT_NAME_BLOB bad{sizeof(junk), junk};
    char out[8] = "xxxxxxx";
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &bad, CERT_X500_NAME_STR, out, 8), 1u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
}

TEST(NamesTest, CertificateObjectForTheManager) {
    vantor::crypt32::Certificate cert;
    EXPECT_EQ(cert.SubjectName(), "");
    EXPECT_EQ(cert.Import({0x30, 0x03, 0x02, 0x01}), CRYPT_E_ASN1_EOD);
    EXPECT_FALSE(cert.Imported());
    ASSERT_EQ(cert.Import(make(Spec{"/C=IT/O=Vantor Test/CN=Mario Rossi"}).der), S_OK);
    EXPECT_EQ(cert.SubjectName(), "CN=Mario Rossi, O=Vantor Test, C=IT");
    // A failed import keeps what was imported before.
    EXPECT_EQ(cert.Import({}), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(cert.SubjectName(), "CN=Mario Rossi, O=Vantor Test, C=IT");
    vantor::crypt32::Certificate moved(std::move(cert));
    EXPECT_EQ(moved.SubjectName(), "CN=Mario Rossi, O=Vantor Test, C=IT");
}

}  // namespace
