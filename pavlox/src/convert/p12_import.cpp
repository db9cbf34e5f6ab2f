// Reading a PKCS#12 file with OpenSSL 3 and the platform's certificate decoder, and building the
// private-key and certificate templates of the import.
#include "convert/p12_import.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace pavlox {

void OpenSslFree::operator()(BIO* p) const {
    BIO_free(p);
}
void OpenSslFree::operator()(EVP_PKEY* p) const {
    EVP_PKEY_free(p);  // frees the private components with BN_clear_free
}
void OpenSslFree::operator()(X509* p) const {
    X509_free(p);
}

namespace {

// Files exported by older systems are encrypted with RC2-40 or 3DES under SHA-1, which OpenSSL 3
// keeps in its legacy provider. It is loaded once, when installed, keeping the default provider
// available beside it; where it is missing such files simply fail to decrypt.
// It is unloaded again at exit, before OpenSSL's own clean-up, so nothing of it is left behind.
void loadLegacyProvider() {
    struct Legacy {
        OSSL_PROVIDER* provider = OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
        ~Legacy() {
            if (provider != nullptr) {
                OSSL_PROVIDER_unload(provider);
            }
        }
    };
    static const Legacy legacy;
    if (legacy.provider == nullptr) {
        ERR_clear_error();
    }
}

// A big integer parameter of the key, big-endian and left-padded with zeros to exactly size
// bytes. False when the key lacks it or it does not fit.
bool fixedParam(const EVP_PKEY* key, const char* name, size_t size, SecureBytes& out) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1 || bn == nullptr) {
        return false;
    }
    out.assign(size, 0);
    const int written = BN_bn2binpad(bn, out.data(), static_cast<int>(size));
    BN_clear_free(bn);
    return written == static_cast<int>(size);
}

// The public exponent at its exact length (bits rounded up to bytes).
bool exactParam(const EVP_PKEY* key, const char* name, SecureBytes& out) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1 || bn == nullptr) {
        return false;
    }
    const int size = BN_num_bytes(bn);
    bool ok = size > 0;
    if (ok) {
        out.assign(static_cast<size_t>(size), 0);
        ok = BN_bn2bin(bn, out.data()) == size;
    }
    BN_free(bn);
    return ok;
}

bool hasParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    const bool has = EVP_PKEY_get_bn_param(key, name, &bn) == 1 && bn != nullptr;
    BN_clear_free(bn);
    return has;
}

CK_ATTRIBUTE entry(CK_ATTRIBUTE_TYPE type, const void* value, size_t size) {
    // A zero-length value still points somewhere: some modules refuse a null pointer outright.
    static const CK_BYTE none = 0;
    return CK_ATTRIBUTE{type, const_cast<void*>(value != nullptr ? value : &none),
                        static_cast<CK_ULONG>(size)};
}

template <typename Buffer>
CK_ATTRIBUTE entry(CK_ATTRIBUTE_TYPE type, const Buffer& b) {
    return entry(type, b.data(), b.size());
}

}  // namespace

P12Import::P12Import() : bio_(BIO_new(BIO_s_file())) {}

HRESULT P12Import::open(const char* path) {
    if (bio_ == nullptr || path == nullptr || BIO_read_filename(bio_.get(), path) != 1) {
        ERR_clear_error();
        return kHrFileNotFound;
    }
    // A folder opens for reading here but not where the import comes from: it is no file.
    FILE* file = nullptr;
    struct stat st {};
    if (BIO_get_fp(bio_.get(), &file) != 1 || file == nullptr || fstat(fileno(file), &st) != 0 ||
        S_ISDIR(st.st_mode)) {
        return kHrFileNotFound;
    }
    return S_OK;
}

void P12Import::adopt(BioPtr source) {
    bio_ = std::move(source);
}

HRESULT P12Import::read(const char* password) {
    loadLegacyProvider();
    if (bio_ == nullptr) {
        return kHrFileNotFound;
    }
    // Every refusal of the file is the same result; the reason stays on no error queue.
    const auto invalid = [] {
        ERR_clear_error();
        return kHrFileInvalid;
    };

    PKCS12* p12 = d2i_PKCS12_bio(bio_.get(), nullptr);
    if (p12 == nullptr) {
        return invalid();
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    // Key and certificate only: the CA certificates of the file are not wanted.
    const int parsed = PKCS12_parse(p12, password != nullptr ? password : "", &key, &cert, nullptr);
    PKCS12_free(p12);
    key_.reset(key);
    cert_.reset(cert);
    if (parsed != 1 || cert_ == nullptr || key_ == nullptr) {
        return invalid();
    }

    // The templates describe an RSA key of two primes: anything else (EC, DSA, RSA-PSS, RSA of
    // more primes) would be written as a key the token cannot use, so it is refused.
    if (EVP_PKEY_get_base_id(key_.get()) != EVP_PKEY_RSA ||
        hasParam(key_.get(), OSSL_PKEY_PARAM_RSA_FACTOR3)) {
        return invalid();
    }
    // A key that is not the certificate's would leave a token whose key and certificate
    // disagree; nothing is written for such a pair.
    const EVP_PKEY* certKey = X509_get0_pubkey(cert_.get());
    if (certKey == nullptr || EVP_PKEY_eq(certKey, key_.get()) != 1) {
        return invalid();
    }

    BIGNUM* modulus = nullptr;
    if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_RSA_N, &modulus) != 1) {
        return invalid();
    }
    const int length = BN_num_bytes(modulus);
    BN_free(modulus);
    if (length <= 0) {
        return invalid();
    }
    const auto l = static_cast<size_t>(length);
    const EVP_PKEY* k = key_.get();
    // The CRT values are written at L/2 bytes (integer division); primes of an unusual modulus
    // that do not fit are refused rather than cut.
    if (!fixedParam(k, OSSL_PKEY_PARAM_RSA_N, l, n_) || !exactParam(k, OSSL_PKEY_PARAM_RSA_E, e_) ||
        !fixedParam(k, OSSL_PKEY_PARAM_RSA_D, l, d_) ||
        !fixedParam(k, OSSL_PKEY_PARAM_RSA_FACTOR1, l / 2, p_) ||
        !fixedParam(k, OSSL_PKEY_PARAM_RSA_FACTOR2, l / 2, q_) ||
        !fixedParam(k, OSSL_PKEY_PARAM_RSA_EXPONENT1, l / 2, dp_) ||
        !fixedParam(k, OSSL_PKEY_PARAM_RSA_EXPONENT2, l / 2, dq_) ||
        !fixedParam(k, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, l / 2, qinv_)) {
        clearKeyFields();
        return invalid();
    }

    // The certificate as OpenSSL encodes it again: a length query, then the encoding.
    const int derLength = i2d_X509(cert_.get(), nullptr);
    if (derLength <= 0) {
        return invalid();
    }
    der_.assign(static_cast<size_t>(derLength), 0);
    BYTE* out = der_.data();
    if (i2d_X509(cert_.get(), &out) != derLength) {
        return invalid();
    }
    context_ = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der_.data(),
                                            static_cast<DWORD>(der_.size()));
    if (context_ == nullptr || context_->pCertInfo == nullptr) {
        return invalid();
    }
    const CERT_INFO& info = *context_->pCertInfo;
    // The decoder gives the serial's content octets least significant byte first; the token
    // takes them in the certificate's own (big-endian) order.
    const BYTE* s = info.SerialNumber.pbData;
    serial_.assign(s, s + info.SerialNumber.cbData);
    std::reverse(serial_.begin(), serial_.end());
    issuer_.assign(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData);
    subject_.assign(info.Subject.pbData, info.Subject.pbData + info.Subject.cbData);
    return S_OK;
}

void P12Import::buildTemplates(std::span<const CK_BYTE> id, std::span<const CK_BYTE> label) {
    id_.assign(id.begin(), id.end());
    label_.assign(label.begin(), label.end());
    keyTemplate_ = {
        entry(CKA_ID, id_),
        entry(CKA_LABEL, label_),
        entry(CKA_CLASS, &keyClass_, sizeof keyClass_),
        entry(CKA_KEY_TYPE, &keyType_, sizeof keyType_),
        entry(CKA_TOKEN, &true_, sizeof true_),
        entry(CKA_PRIVATE, &true_, sizeof true_),
        entry(CKA_SENSITIVE, &true_, sizeof true_),
        entry(CKA_DECRYPT, &true_, sizeof true_),
        entry(CKA_SIGN, &true_, sizeof true_),
        entry(CKA_MODULUS, n_),
        entry(CKA_PUBLIC_EXPONENT, e_),
        entry(CKA_PRIVATE_EXPONENT, d_),
        entry(CKA_PRIME_1, p_),
        entry(CKA_PRIME_2, q_),
        entry(CKA_EXPONENT_1, dp_),
        entry(CKA_EXPONENT_2, dq_),
        entry(CKA_COEFFICIENT, qinv_),
    };
    certTemplate_ = {
        entry(CKA_ID, id_),
        entry(CKA_LABEL, label_),
        entry(CKA_CLASS, &certClass_, sizeof certClass_),
        entry(CKA_CERTIFICATE_TYPE, &certType_, sizeof certType_),
        entry(CKA_TOKEN, &true_, sizeof true_),
        entry(CKA_PRIVATE, &false_, sizeof false_),
        entry(CKA_VALUE, der_),
        entry(CKA_SERIAL_NUMBER, serial_),
        entry(CKA_ISSUER, issuer_),
        entry(CKA_SUBJECT, subject_),
    };
}

void P12Import::clearKeyFields() noexcept {
    for (SecureBytes* b : {&n_, &e_, &d_, &p_, &q_, &dp_, &dq_, &qinv_}) {
        b->wipe();
    }
}

void P12Import::wipeKey() noexcept {
    clearKeyFields();
    // The template must not keep pointing at the storage that held the secrets.
    for (size_t i = 9; i < keyTemplate_.size(); ++i) {
        keyTemplate_[i] = entry(keyTemplate_[i].type, nullptr, 0);
    }
}

void P12Import::release() noexcept {
    if (context_ != nullptr) {
        CertFreeCertificateContext(context_);
        context_ = nullptr;
    }
    der_.clear();
    cert_.reset();
    bio_.reset();
    key_.reset();
    wipeKey();
}

}  // namespace pavlox
