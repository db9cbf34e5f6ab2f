// OpenSSL-made test certificates and the private store directory fixture.
#include "test_pki.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>

#include "win/winreg.h"

namespace testpki {

namespace {

std::shared_ptr<void> newKey() {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    return std::shared_ptr<void>(key, [](void* k) { EVP_PKEY_free(static_cast<EVP_PKEY*>(k)); });
}

// One key for every certificate of a run: key generation is the slow part, and no test
// depends on keys being different.
const std::shared_ptr<void>& sharedKey() {
    static std::shared_ptr<void> key = newKey();
    return key;
}

X509_NAME* parseName(const std::string& text) {
    X509_NAME* name = X509_NAME_new();
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, '/')) {
        if (item.empty()) {
            continue;
        }
        auto eq = item.find('=');
        X509_NAME_add_entry_by_txt(name, item.substr(0, eq).c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(item.c_str() + eq + 1),
                                   -1, -1, 0);
    }
    return name;
}

void addExt(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    ASSERT_NE(ext, nullptr) << value;
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

}  // namespace

Issued make(const Spec& spec, const Issued* issuer) {
    Issued out;
    out.key = sharedKey();
    out.subject = spec.subject;
    X509* x = X509_new();
    X509_set_version(x, 2);
    BIGNUM* bn = BN_bin2bn(spec.serial.data(), static_cast<int>(spec.serial.size()), nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_NAME* subject = parseName(spec.subject);
    X509_set_subject_name(x, subject);
    X509_NAME* issuerName = issuer ? parseName(issuer->subject) : X509_NAME_dup(subject);
    X509_set_issuer_name(x, issuerName);
    X509_gmtime_adj(X509_getm_notBefore(x), spec.notBeforeOffset);
    X509_gmtime_adj(X509_getm_notAfter(x), spec.notBeforeOffset + spec.lifetime);
    auto* key = static_cast<EVP_PKEY*>(out.key.get());
    X509_set_pubkey(x, key);
    X509* signerCert = x;
    X509* issuerCert = nullptr;
    if (issuer) {
        const unsigned char* p = issuer->der.data();
        issuerCert = d2i_X509(nullptr, &p, static_cast<long>(issuer->der.size()));
        signerCert = issuerCert;
    }
    addExt(x, signerCert, NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "CA:FALSE");
    addExt(x, signerCert, NID_key_usage,
           spec.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    addExt(x, signerCert, NID_subject_key_identifier, "hash");
    if (!spec.eku.empty()) {
        std::string list;
        for (const auto& u : spec.eku) {
            list += (list.empty() ? "" : ",") + u;
        }
        addExt(x, signerCert, NID_ext_key_usage, list);
    }
    if (!spec.emails.empty()) {
        std::string list;
        for (const auto& e : spec.emails) {
            list += (list.empty() ? "email:" : ",email:") + e;
        }
        addExt(x, signerCert, NID_subject_alt_name, list);
    }
    X509_sign(x, static_cast<EVP_PKEY*>(issuer ? issuer->key.get() : out.key.get()), EVP_sha256());
    int n = i2d_X509(x, nullptr);
    out.der.resize(static_cast<size_t>(n));
    unsigned char* p = out.der.data();
    i2d_X509(x, &p);
    X509_free(issuerCert);
    X509_NAME_free(subject);
    X509_NAME_free(issuerName);
    X509_free(x);
    return out;
}

const Hierarchy& hierarchy() {
    static const Hierarchy h = [] {
        Hierarchy r;
        Spec root{"/C=IT/O=Vantor Test/CN=Vantor Test Root CA", {0x10}};
        root.ca = true;
        r.root = make(root);
        Spec mid{"/C=IT/O=Vantor Test/CN=Vantor Test Issuing CA", {0x11}};
        mid.ca = true;
        r.intermediate = make(mid, &r.root);
        return r;
    }();
    return h;
}

void PrivateStores::SetUp() {
    char templ[] = "/tmp/vantor-certs-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    setenv(VANTOR_REGISTRY_DIR_ENV, dir_.c_str(), 1);
}

void PrivateStores::TearDown() {
    unsetenv(VANTOR_REGISTRY_DIR_ENV);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

ContextPtr decode(const Bytes& der) {
    return ContextPtr(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                   der.data(), static_cast<DWORD>(der.size())));
}

int count(HCERTSTORE store) {
    int n = 0;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        ++n;
    }
    return n;
}

std::string friendlyName(PCCERT_CONTEXT ctx) {
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb)) {
        return "<none>";
    }
    std::u16string w(cb / 2, u'\0');
    CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, w.data(), &cb);
    std::string out;
    for (char16_t c : w) {
        if (c) {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void setFriendlyName(PCCERT_CONTEXT ctx, const std::u16string& name) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * 2),
                         reinterpret_cast<BYTE*>(const_cast<char16_t*>(name.c_str()))};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
}

}  // namespace testpki
