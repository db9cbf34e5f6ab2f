// Readable certificate fields for the viewer and the certstore tool, through OpenSSL.
#include "crypt32/cert_details.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "cert_object.h"
#include "names.h"

namespace vantor::crypt32 {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

std::string hex(const unsigned char* p, size_t n, bool spaced) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (spaced && i) {
            out += ' ';
        }
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0x0F];
    }
    return out;
}

std::string timeText(const ASN1_TIME* t) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return {};
    }
    char buf[64];
    std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string objName(const ASN1_OBJECT* obj) {
    int nid = OBJ_obj2nid(obj);
    if (nid != NID_undef) {
        if (const char* ln = OBJ_nid2ln(nid)) {
            return ln;
        }
    }
    char buf[128];
    OBJ_obj2txt(buf, sizeof(buf), obj, 1);
    return buf;
}

std::string oidOf(const ASN1_OBJECT* obj) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof(buf), obj, 1);
    return n > 0 && static_cast<size_t>(n) < sizeof(buf) ? std::string(buf) : std::string();
}

std::string nameText(const X509_NAME* name, DWORD type) {
    int n = i2d_X509_NAME(name, nullptr);
    if (n <= 0) {
        return {};
    }
    std::vector<unsigned char> der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_X509_NAME(name, &p);
    return nameToString(der.data(), der.size(), type).value_or("");
}

std::string simpleName(const X509_NAME* name) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                    NID_pkcs9_emailAddress}) {
        int i = X509_NAME_get_index_by_NID(name, nid, -1);
        if (i >= 0) {
            unsigned char* utf8 = nullptr;
            int len =
                ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
            if (len >= 0) {
                std::string s(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
                OPENSSL_free(utf8);
                return s;
            }
        }
    }
    return nameText(name, CERT_SIMPLE_NAME_STR);
}

std::string extensionValue(X509_EXTENSION* ext) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (bio && X509V3_EXT_print(bio.get(), ext, 0, 0) == 1) {
        char* data = nullptr;
        long n = BIO_get_mem_data(bio.get(), &data);
        std::string text(data, static_cast<size_t>(n));
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        // OpenSSL indents continuation lines for its own listing; a field shows them flush.
        std::string flat;
        bool lineStart = true;
        for (char c : text) {
            if (lineStart && c == ' ') {
                continue;
            }
            flat += c;
            lineStart = c == '\n';
        }
        return flat;
    }
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
    return hex(data->data, static_cast<size_t>(data->length), true);
}

std::string digestText(const X509* x, const EVP_MD* md) {
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(x, md, buf, &n) != 1) {
        return {};
    }
    return hex(buf, n, true);
}

}  // namespace

std::string usageName(const std::string& oid) {
    static const struct {
        const char* oid;
        const char* name;
    } names[] = {
        {"1.3.6.1.5.5.7.3.1", "Server Authentication"},
        {"1.3.6.1.5.5.7.3.2", "Client Authentication"},
        {"1.3.6.1.5.5.7.3.3", "Code Signing"},
        {"1.3.6.1.5.5.7.3.4", "Secure Email"},
        {"1.3.6.1.5.5.7.3.8", "Time Stamping"},
        {"1.3.6.1.5.5.7.3.9", "OCSP Signing"},
        {"1.3.6.1.4.1.311.20.2.2", "Smart Card Logon"},
        {"1.3.6.1.4.1.311.10.3.4", "Encrypting File System"},
        {"1.3.6.1.4.1.311.10.3.12", "Document Signing"},
        {"2.5.29.37.0", "Any Purpose"},
    };
    for (const auto& n : names) {
        if (oid == n.oid) {
            return n.name;
        }
    }
    return oid;
}

std::string x500Name(const CERT_NAME_BLOB& name) {
    return nameToString(name.pbData, name.cbData, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG)
        .value_or("");
}

std::optional<CertificateText> describeCertificate(const BYTE* der, size_t size) {
    if (der == nullptr || size == 0 || size > 0x7FFFFFFF) {
        return std::nullopt;
    }
    const unsigned char* p = der;
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (!x) {
        return std::nullopt;
    }
    CertificateText t;
    const X509_NAME* subject = X509_get_subject_name(x.get());
    const X509_NAME* issuer = X509_get_issuer_name(x.get());
    t.issuedTo = simpleName(subject);
    t.issuedBy = simpleName(issuer);
    t.subject = nameText(subject, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG);
    t.issuer = nameText(issuer, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG);
    t.selfIssued = X509_NAME_cmp(subject, issuer) == 0;
    t.validFrom = timeText(X509_get0_notBefore(x.get()));
    t.validTo = timeText(X509_get0_notAfter(x.get()));
    t.version = "V" + std::to_string(X509_get_version(x.get()) + 1);
    // The serial's octets as encoded (a leading 00 included), most significant first.
    try {
        auto decoded = CertObject::decode(der, size);
        const CRYPT_INTEGER_BLOB& sn = decoded->context()->pCertInfo->SerialNumber;
        std::vector<unsigned char> be(sn.pbData, sn.pbData + sn.cbData);
        std::reverse(be.begin(), be.end());
        t.serial = hex(be.data(), be.size(), true);
    } catch (const DecodeError&) {
        const ASN1_INTEGER* serial = X509_get0_serialNumber(x.get());
        t.serial = hex(serial->data, static_cast<size_t>(serial->length), true);
    }
    const X509_ALGOR* sigAlg = nullptr;
    X509_get0_signature(nullptr, &sigAlg, x.get());
    const ASN1_OBJECT* sigObj = nullptr;
    X509_ALGOR_get0(&sigObj, nullptr, nullptr, sigAlg);
    t.signatureAlgorithm = objName(sigObj);

    if (EVP_PKEY* key = X509_get0_pubkey(x.get())) {
        int id = EVP_PKEY_get_base_id(key);
        std::string kind = id == EVP_PKEY_RSA   ? "RSA"
                           : id == EVP_PKEY_EC  ? "ECC"
                           : id == EVP_PKEY_DSA ? "DSA"
                           : OBJ_nid2sn(id)     ? OBJ_nid2sn(id)
                                                : "unknown";
        t.publicKey = kind + " (" + std::to_string(EVP_PKEY_get_bits(key)) + " Bits)";
    }
    if (X509_PUBKEY* pub = X509_get_X509_PUBKEY(x.get())) {
        const unsigned char* pk = nullptr;
        int pklen = 0;
        if (X509_PUBKEY_get0_param(nullptr, &pk, &pklen, nullptr, pub) == 1) {
            t.publicKeyHex = hex(pk, static_cast<size_t>(pklen), true);
        }
    }

    for (int i = 0; i < X509_get_ext_count(x.get()); ++i) {
        X509_EXTENSION* ext = X509_get_ext(x.get(), i);
        const ASN1_OBJECT* obj = X509_EXTENSION_get_object(ext);
        ExtensionText e;
        e.oid = oidOf(obj);
        e.name = objName(obj);
        // OpenSSL's long names carry a "X509v3 " prefix that says nothing to a reader.
        if (e.name.rfind("X509v3 ", 0) == 0) {
            e.name.erase(0, 7);
        }
        e.critical = X509_EXTENSION_get_critical(ext) != 0;
        e.value = extensionValue(ext);
        t.extensions.push_back(std::move(e));
        if (OBJ_obj2nid(obj) == NID_ext_key_usage) {
            t.allPurposes = false;
            const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
            const unsigned char* q = data->data;
            if (EXTENDED_KEY_USAGE* eku = d2i_EXTENDED_KEY_USAGE(nullptr, &q, data->length)) {
                for (int k = 0; k < sk_ASN1_OBJECT_num(eku); ++k) {
                    t.purposes.push_back(usageName(oidOf(sk_ASN1_OBJECT_value(eku, k))));
                }
                EXTENDED_KEY_USAGE_free(eku);
            }
        }
    }
    t.sha1 = digestText(x.get(), EVP_sha1());
    t.sha256 = digestText(x.get(), EVP_sha256());
    return t;
}

}  // namespace vantor::crypt32
