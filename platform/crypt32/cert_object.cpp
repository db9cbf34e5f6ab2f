// Decoding of X.509 DER into the Windows CERT_INFO shapes with OpenSSL.
#include "cert_object.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "cert_store.h"
#include "win/winerror.h"

namespace vantor::crypt32 {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::string oidText(const ASN1_OBJECT* obj) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof(buf), obj, 1);
    if (n <= 0) {
        return {};
    }
    if (static_cast<size_t>(n) < sizeof(buf)) {
        return std::string(buf, static_cast<size_t>(n));
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    OBJ_obj2txt(big.data(), n + 1, obj, 1);
    big.resize(static_cast<size_t>(n));
    return big;
}

template <typename T, typename Enc>
Bytes encode(const T* value, Enc enc) {
    int n = enc(value, nullptr);
    if (n <= 0) {
        return {};
    }
    Bytes out(static_cast<size_t>(n));
    unsigned char* p = out.data();
    enc(value, &p);
    return out;
}

// The content octets of the serial-number INTEGER exactly as encoded (OpenSSL normalises the
// value, dropping a leading 00 byte, but Windows hands out the octets as they stand).
Bytes serialOctets(const BYTE* der, size_t size) {
    const unsigned char* p = der;
    long len = 0;
    int tag = 0;
    int cls = 0;
    long left = static_cast<long>(size);
    // Certificate SEQUENCE, then TBSCertificate SEQUENCE: step into both.
    for (int depth = 0; depth < 2; ++depth) {
        const unsigned char* start = p;
        int r = ASN1_get_object(&p, &len, &tag, &cls, left);
        if ((r & 0x80) || tag != V_ASN1_SEQUENCE || !(r & V_ASN1_CONSTRUCTED)) {
            return {};
        }
        left -= static_cast<long>(p - start);
        left = std::min(left, len);
    }
    // Optional [0] EXPLICIT version.
    const unsigned char* start = p;
    int r = ASN1_get_object(&p, &len, &tag, &cls, left);
    if (r & 0x80) {
        return {};
    }
    if (cls == V_ASN1_CONTEXT_SPECIFIC && tag == 0) {
        p += len;
        left -= static_cast<long>(p - start);
        r = ASN1_get_object(&p, &len, &tag, &cls, left);
        if (r & 0x80) {
            return {};
        }
    }
    if (cls != V_ASN1_UNIVERSAL || tag != V_ASN1_INTEGER) {
        return {};
    }
    return Bytes(p, p + len);
}

FILETIME toFileTime(const ASN1_TIME* t) {
    FILETIME ft{};
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return ft;
    }
    std::int64_t secs = static_cast<std::int64_t>(timegm(&tm));
    // 1601-01-01 to 1970-01-01 is 11644473600 seconds.
    std::int64_t ticks = (secs + 11644473600LL) * 10000000LL;
    if (ticks < 0) {
        ticks = 0;
    }
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
    return ft;
}

void setBlob(CRYPTOAPI_BLOB& blob, Bytes& bytes) {
    blob.cbData = static_cast<DWORD>(bytes.size());
    blob.pbData = bytes.empty() ? nullptr : bytes.data();
}

void setBits(CRYPT_BIT_BLOB& blob, Bytes& bytes, const ASN1_BIT_STRING* bits) {
    if (bits == nullptr) {
        return;
    }
    bytes.assign(bits->data, bits->data + bits->length);
    blob.cbData = static_cast<DWORD>(bytes.size());
    blob.pbData = bytes.empty() ? nullptr : bytes.data();
    blob.cUnusedBits = (bits->flags & ASN1_STRING_FLAG_BITS_LEFT) ? (bits->flags & 0x07) : 0;
}

Bytes digest(const Bytes& der, const EVP_MD* md) {
    Bytes out(static_cast<size_t>(EVP_MD_get_size(md)));
    unsigned int n = 0;
    if (EVP_Digest(der.data(), der.size(), out.data(), &n, md, nullptr) != 1) {
        return {};
    }
    out.resize(n);
    return out;
}

std::mutex& liveMutex() {
    static std::mutex m;
    return m;
}
std::unordered_map<const CERT_CONTEXT*, CertObject*>& liveContexts() {
    static auto* table = new std::unordered_map<const CERT_CONTEXT*, CertObject*>();
    return *table;
}

}  // namespace

std::unique_ptr<CertObject> CertObject::decode(const BYTE* der, size_t size) {
    if (der == nullptr || size == 0) {
        throw DecodeError{CRYPT_E_ASN1_EOD};
    }
    if (size > 0x7FFFFFFF) {
        throw DecodeError{CRYPT_E_ASN1_CORRUPT};
    }
    const unsigned char* p = der;
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (!x) {
        // Not a SEQUENCE at all: not a certificate. A SEQUENCE that runs past the end: a
        // truncated one. Anything else: a SEQUENCE that holds no certificate.
        if (der[0] != (V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED)) {
            throw DecodeError{CRYPT_E_ASN1_BADTAG};
        }
        const unsigned char* q = der;
        long len = 0;
        int tag = 0;
        int cls = 0;
        int r = ASN1_get_object(&q, &len, &tag, &cls, static_cast<long>(size));
        throw DecodeError{(r & 0x80) ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG};
    }
    // Tokens sometimes pad a certificate value; the certificate is the first element only.
    size_t used = static_cast<size_t>(p - der);

    std::unique_ptr<CertObject> c(new CertObject());
    c->der_.assign(der, der + used);
    c->serial_ = serialOctets(c->der_.data(), c->der_.size());
    if (c->serial_.empty()) {
        throw DecodeError{CRYPT_E_ASN1_CORRUPT};
    }
    std::reverse(c->serial_.begin(), c->serial_.end());

    CERT_INFO& info = c->info_;
    long version = X509_get_version(x.get());
    info.dwVersion = version >= 0 && version <= 2 ? static_cast<DWORD>(version) : CERT_V3;
    setBlob(info.SerialNumber, c->serial_);

    const X509_ALGOR* tbsAlg = X509_get0_tbs_sigalg(x.get());
    const ASN1_OBJECT* algObj = nullptr;
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(&algObj, &ptype, &pval, tbsAlg);
    c->sigOid_ = oidText(algObj);
    if (ptype != V_ASN1_UNDEF) {
        const ASN1_TYPE* params = tbsAlg->parameter;
        if (params) {
            c->sigParams_ = encode(params, [](const ASN1_TYPE* v, unsigned char** out) {
                return i2d_ASN1_TYPE(const_cast<ASN1_TYPE*>(v), out);
            });
        }
    }
    info.SignatureAlgorithm.pszObjId = c->sigOid_.data();
    setBlob(info.SignatureAlgorithm.Parameters, c->sigParams_);

    c->issuer_ = encode(X509_get_issuer_name(x.get()),
                        [](const X509_NAME* v, unsigned char** o) { return i2d_X509_NAME(v, o); });
    c->subject_ = encode(X509_get_subject_name(x.get()),
                         [](const X509_NAME* v, unsigned char** o) { return i2d_X509_NAME(v, o); });
    setBlob(info.Issuer, c->issuer_);
    setBlob(info.Subject, c->subject_);
    info.NotBefore = toFileTime(X509_get0_notBefore(x.get()));
    info.NotAfter = toFileTime(X509_get0_notAfter(x.get()));

    X509_PUBKEY* pub = X509_get_X509_PUBKEY(x.get());
    ASN1_OBJECT* keyObj = nullptr;
    const unsigned char* pk = nullptr;
    int pklen = 0;
    X509_ALGOR* keyAlg = nullptr;
    if (pub == nullptr || X509_PUBKEY_get0_param(&keyObj, &pk, &pklen, &keyAlg, pub) != 1) {
        throw DecodeError{CRYPT_E_ASN1_CORRUPT};
    }
    c->keyOid_ = oidText(keyObj);
    if (keyAlg && keyAlg->parameter) {
        c->keyParams_ = encode(keyAlg->parameter, [](const ASN1_TYPE* v, unsigned char** out) {
            return i2d_ASN1_TYPE(const_cast<ASN1_TYPE*>(v), out);
        });
    }
    c->publicKey_.assign(pk, pk + pklen);
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = c->keyOid_.data();
    setBlob(info.SubjectPublicKeyInfo.Algorithm.Parameters, c->keyParams_);
    info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(c->publicKey_.size());
    info.SubjectPublicKeyInfo.PublicKey.pbData =
        c->publicKey_.empty() ? nullptr : c->publicKey_.data();

    const ASN1_BIT_STRING* issuerUid = nullptr;
    const ASN1_BIT_STRING* subjectUid = nullptr;
    X509_get0_uids(x.get(), &issuerUid, &subjectUid);
    setBits(info.IssuerUniqueId, c->issuerUid_, issuerUid);
    setBits(info.SubjectUniqueId, c->subjectUid_, subjectUid);

    int count = X509_get_ext_count(x.get());
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* ext = X509_get_ext(x.get(), i);
        c->extOids_.push_back(oidText(X509_EXTENSION_get_object(ext)));
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
        c->extValues_.emplace_back(value->data, value->data + value->length);
    }
    for (size_t i = 0; i < c->extOids_.size(); ++i) {
        CERT_EXTENSION e{};
        e.pszObjId = c->extOids_[i].data();
        e.fCritical = X509_EXTENSION_get_critical(X509_get_ext(x.get(), static_cast<int>(i)));
        setBlob(e.Value, c->extValues_[i]);
        c->extensions_.push_back(e);
    }
    info.cExtension = static_cast<DWORD>(c->extensions_.size());
    info.rgExtension = c->extensions_.empty() ? nullptr : c->extensions_.data();

    c->ctx_.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    c->ctx_.pbCertEncoded = c->der_.data();
    c->ctx_.cbCertEncoded = static_cast<DWORD>(c->der_.size());
    c->ctx_.pCertInfo = &c->info_;
    c->ctx_.hCertStore = nullptr;
    return c;
}

CertObject::~CertObject() {
    if (store_) {
        store_->release();
    }
}

void CertObject::attach(CertStore* store, std::int64_t id) {
    store->addRef();
    store_ = store;
    entryId_ = id;
    ctx_.hCertStore = store;
}

Bytes CertObject::sha1() const {
    return digest(der_, EVP_sha1());
}
Bytes CertObject::md5() const {
    return digest(der_, EVP_md5());
}

Bytes CertObject::identity() const {
    Bytes id;
    auto n = static_cast<DWORD>(issuer_.size());
    for (int i = 0; i < 4; ++i) {
        id.push_back(static_cast<BYTE>(n >> (8 * i)));
    }
    id.insert(id.end(), issuer_.begin(), issuer_.end());
    id.insert(id.end(), serial_.begin(), serial_.end());
    return id;
}

std::uint64_t CertObject::notBefore() const {
    return static_cast<std::uint64_t>(info_.NotBefore.dwHighDateTime) << 32 |
           info_.NotBefore.dwLowDateTime;
}

void registerContext(CertObject* cert) {
    std::lock_guard<std::mutex> lock(liveMutex());
    liveContexts()[cert->context()] = cert;
}

void unregisterContext(const CertObject* cert) {
    std::lock_guard<std::mutex> lock(liveMutex());
    liveContexts().erase(cert->context());
}

CertObject* lookupContext(PCCERT_CONTEXT ctx) {
    if (ctx == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(liveMutex());
    auto it = liveContexts().find(ctx);
    return it == liveContexts().end() ? nullptr : it->second;
}

}  // namespace vantor::crypt32
