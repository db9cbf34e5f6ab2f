// OpenSSL side of object loading: PKCS#12, PEM keys and certificates to PKCS#11 templates.
#include "objects.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace cardtoken {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bn = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using P12 = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;

void freeCerts(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
using Certs = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCerts>>;

[[noreturn]] void fail(const std::string& file, const std::string& why) {
    ERR_clear_error();
    throw ConfigError(file + ": " + why);
}

Bio openFile(const std::string& file) {
    Bio bio(BIO_new_file(file.c_str(), "rb"));
    if (!bio) {
        fail(file, "cannot be read");
    }
    return bio;
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

Secret bnBytes(const BIGNUM* bn) {
    Secret out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

Secret param(const EVP_PKEY* key, const char* name, const std::string& file) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
        fail(file, std::string("RSA key without ") + name);
    }
    Bn bn(raw);
    return bnBytes(bn.get());
}

Secret der(X509* cert, int (*encode)(X509*, unsigned char**)) {
    const int n = encode(cert, nullptr);
    Secret out(n > 0 ? static_cast<std::size_t>(n) : 0);
    unsigned char* p = out.data();
    if (n > 0) {
        encode(cert, &p);
    }
    return out;
}

template <typename T, int (*Encode)(const T*, unsigned char**)>
Secret derOf(const T* value) {
    const int n = Encode(value, nullptr);
    Secret out(n > 0 ? static_cast<std::size_t>(n) : 0);
    unsigned char* p = out.data();
    if (n > 0) {
        Encode(value, &p);
    }
    return out;
}

int certDer(X509* c, unsigned char** p) {
    return i2d_X509(c, p);
}

// The key id when none is configured: SHA-1 of the modulus, as many tools derive it.
std::vector<unsigned char> defaultId(const Secret& modulus) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(modulus.data(), modulus.size(), md, &n, EVP_sha1(), nullptr);
    return std::vector<unsigned char>(md, md + n);
}

ObjectTemplate certificate(X509* cert, const std::vector<unsigned char>& id,
                           const std::string& label) {
    ObjectTemplate t;
    t.addUlong(CKA_CLASS, CKO_CERTIFICATE);
    t.addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    t.addBool(CKA_TOKEN, true);
    t.addBool(CKA_PRIVATE, false);
    t.addBool(CKA_MODIFIABLE, true);
    t.add(CKA_LABEL, label.data(), label.size());
    if (!id.empty()) {
        t.add(CKA_ID, id.data(), id.size());
    }
    const Secret value = der(cert, certDer);
    t.add(CKA_VALUE, value.data(), value.size());
    const Secret subject = derOf<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(cert));
    t.add(CKA_SUBJECT, subject.data(), subject.size());
    const Secret issuer = derOf<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(cert));
    t.add(CKA_ISSUER, issuer.data(), issuer.size());
    const Secret serial = derOf<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(cert));
    t.add(CKA_SERIAL_NUMBER, serial.data(), serial.size());
    return t;
}

// Private key, public key and (when given) certificate sharing one CKA_ID and label.
std::vector<ObjectTemplate> keyPair(EVP_PKEY* key, X509* cert, const ObjectSpec& spec,
                                    const std::string& file) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        fail(file, "the key is not an RSA key");
    }
    if (cert != nullptr && X509_check_private_key(cert, key) != 1) {
        fail(file, "the certificate does not belong to the key");
    }
    const Secret n = param(key, OSSL_PKEY_PARAM_RSA_N, file);
    const Secret e = param(key, OSSL_PKEY_PARAM_RSA_E, file);
    const std::vector<unsigned char> id = spec.id.empty() ? defaultId(n) : spec.id;
    const std::string label = spec.label.empty() ? baseName(file) : spec.label;

    ObjectTemplate priv;
    priv.addUlong(CKA_CLASS, CKO_PRIVATE_KEY);
    priv.addUlong(CKA_KEY_TYPE, CKK_RSA);
    priv.addBool(CKA_TOKEN, true);
    priv.addBool(CKA_PRIVATE, true);
    priv.addBool(CKA_SENSITIVE, true);
    priv.addBool(CKA_EXTRACTABLE, false);  // as on a card: the key never leaves it
    priv.addBool(CKA_SIGN, true);
    priv.addBool(CKA_DECRYPT, true);
    priv.addBool(CKA_UNWRAP, true);
    priv.add(CKA_LABEL, label.data(), label.size());
    priv.add(CKA_ID, id.data(), id.size());
    priv.add(CKA_MODULUS, n.data(), n.size());
    priv.add(CKA_PUBLIC_EXPONENT, e.data(), e.size());
    const struct {
        CK_ATTRIBUTE_TYPE type;
        const char* name;
    } parts[] = {{CKA_PRIVATE_EXPONENT, OSSL_PKEY_PARAM_RSA_D},
                 {CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},
                 {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2},
                 {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},
                 {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2},
                 {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
    for (const auto& p : parts) {
        const Secret v = param(key, p.name, file);
        priv.add(p.type, v.data(), v.size());
    }
    if (cert != nullptr) {
        const Secret subject = derOf<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(cert));
        priv.add(CKA_SUBJECT, subject.data(), subject.size());
    }

    ObjectTemplate pub;
    pub.addUlong(CKA_CLASS, CKO_PUBLIC_KEY);
    pub.addUlong(CKA_KEY_TYPE, CKK_RSA);
    pub.addBool(CKA_TOKEN, true);
    pub.addBool(CKA_PRIVATE, false);
    pub.addBool(CKA_VERIFY, true);
    pub.addBool(CKA_ENCRYPT, true);
    pub.addBool(CKA_WRAP, true);
    pub.add(CKA_LABEL, label.data(), label.size());
    pub.add(CKA_ID, id.data(), id.size());
    pub.add(CKA_MODULUS, n.data(), n.size());
    pub.add(CKA_PUBLIC_EXPONENT, e.data(), e.size());

    std::vector<ObjectTemplate> out;
    out.push_back(std::move(priv));
    out.push_back(std::move(pub));
    if (cert != nullptr) {
        out.push_back(certificate(cert, id, label));
    }
    return out;
}

std::string passwordText(const Secret& s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

std::vector<ObjectTemplate> fromPkcs12(const ObjectSpec& spec) {
    const std::string& file = spec.files[0];
    Bio bio = openFile(file);
    P12 p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12) {
        fail(file, "not a PKCS#12 file");
    }
    std::string password = passwordText(spec.password);
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    const int ok = PKCS12_parse(p12.get(), password.c_str(), &rawKey, &rawCert, &rawCa);
    vantor::secureWipe(password.data(), password.size());
    Pkey key(rawKey);
    Cert cert(rawCert);
    Certs ca(rawCa);
    if (ok != 1) {
        fail(file, "cannot be decrypted (wrong password?) or is malformed");
    }
    if (!key) {
        fail(file, "holds no private key");
    }
    auto out = keyPair(key.get(), cert.get(), spec, file);
    for (int i = 0; ca && i < sk_X509_num(ca.get()); ++i) {
        out.push_back(certificate(sk_X509_value(ca.get(), i), {},
                                  baseName(file) + " CA " + std::to_string(i + 1)));
    }
    return out;
}

int pemPassword(char* buf, int size, int, void* user) {
    const Secret* s = static_cast<const Secret*>(user);
    const int n =
        static_cast<int>(std::min<std::size_t>(s->size(), static_cast<std::size_t>(size)));
    std::copy(s->begin(), s->begin() + n, buf);
    return n;
}

std::vector<ObjectTemplate> fromPem(const ObjectSpec& spec) {
    const std::string& keyFile = spec.files[0];
    const std::string& certFile = spec.files[1];
    Bio kb = openFile(keyFile);
    Secret password = spec.password;
    Pkey key(PEM_read_bio_PrivateKey(kb.get(), nullptr, pemPassword, &password));
    if (!key) {
        fail(keyFile, "no PEM private key (or a wrong password)");
    }
    Bio cb = openFile(certFile);
    Cert cert(PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        fail(certFile, "no PEM certificate");
    }
    ObjectSpec named = spec;
    if (named.label.empty()) {
        named.label = baseName(keyFile);
    }
    return keyPair(key.get(), cert.get(), named, keyFile);
}

std::vector<ObjectTemplate> fromCert(const ObjectSpec& spec) {
    const std::string& file = spec.files[0];
    std::vector<ObjectTemplate> out;
    const std::string label = spec.label.empty() ? baseName(file) : spec.label;
    {
        Bio bio = openFile(file);
        // Every PEM certificate of the file, in order.
        while (X509* raw = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
            Cert c(raw);
            out.push_back(
                certificate(c.get(), spec.id,
                            out.empty() ? label : label + " " + std::to_string(out.size() + 1)));
        }
    }
    if (out.empty()) {
        Bio bio = openFile(file);
        Cert c(d2i_X509_bio(bio.get(), nullptr));
        if (!c) {
            fail(file, "no PEM or DER certificate");
        }
        out.push_back(certificate(c.get(), spec.id, label));
    }
    ERR_clear_error();
    return out;
}

}  // namespace

void ObjectTemplate::add(CK_ATTRIBUTE_TYPE type, const void* data, std::size_t size) {
    values.emplace_back(type, Secret(static_cast<const std::uint8_t*>(data), size));
}

void ObjectTemplate::addBool(CK_ATTRIBUTE_TYPE type, bool v) {
    const CK_BBOOL b = v ? CK_TRUE : CK_FALSE;
    add(type, &b, sizeof b);
}

void ObjectTemplate::addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG v) {
    add(type, &v, sizeof v);
}

std::vector<CK_ATTRIBUTE> ObjectTemplate::attributes() {
    std::vector<CK_ATTRIBUTE> out;
    for (auto& [type, value] : values) {
        out.push_back({type, value.data(), static_cast<CK_ULONG>(value.size())});
    }
    return out;
}

std::vector<ObjectTemplate> readObjects(const ObjectSpec& spec) {
    switch (spec.kind) {
        case ObjectSpec::Kind::Pkcs12:
            return fromPkcs12(spec);
        case ObjectSpec::Kind::Pem:
            return fromPem(spec);
        case ObjectSpec::Kind::Cert:
            return fromCert(spec);
    }
    return {};
}

}  // namespace cardtoken
