// RSA keys over OpenSSL 3: blob conversion through OSSL_PARAM, PKCS#1 v1.5 through EVP_PKEY.
#include "rsa_key.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "capi_error.h"
#include "key_blob.h"

#include <map>
#include <mutex>

namespace vantor::capi {

namespace {

struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};

OSSL_LIB_CTX* requireContext() {
    OSSL_LIB_CTX* ctx = libContext();
    if (ctx == nullptr) {
        fail(NTE_PROVIDER_DLL_FAIL);
    }
    return ctx;
}

BnPtr getParam(EVP_PKEY* key, const char* name) {
    BIGNUM* n = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &n) != 1) {
        fail(NTE_BAD_KEY_STATE);
    }
    return BnPtr(n);
}

// The DER of a DigestInfo {algorithm, NULL parameters, digest} of md up to the digest's bytes,
// which come last; encoded by OpenSSL on the first signature under each digest and kept per
// digest type (its NID), since it depends on nothing else. The entries are never changed or
// removed, so a reference to one stays valid outside the lock.
const std::vector<std::uint8_t>& digestInfoPrefix(const EVP_MD* md) {
    static std::mutex mutex;
    static auto* prefixes = new std::map<int, std::vector<std::uint8_t>>;
    const int type = EVP_MD_get_type(md);
    const int size = EVP_MD_get_size(md);
    std::lock_guard lock(mutex);
    if (auto it = prefixes->find(type); it != prefixes->end()) {
        return it->second;
    }
    std::unique_ptr<X509_SIG, decltype(&X509_SIG_free)> info(X509_SIG_new(), X509_SIG_free);
    if (!info || size <= 0) {
        throw std::bad_alloc();
    }
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_getm(info.get(), &algorithm, &digest);
    const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(size));
    ASN1_OBJECT* oid = OBJ_nid2obj(type);
    if (oid == nullptr || OBJ_length(oid) == 0 ||
        X509_ALGOR_set0(algorithm, oid, V_ASN1_NULL, nullptr) != 1 ||
        ASN1_OCTET_STRING_set(digest, zeros.data(), size) != 1) {
        fail(NTE_BAD_ALGID);
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509_SIG(info.get(), &der);
    if (length <= size) {
        OPENSSL_free(der);
        fail(NTE_BAD_ALGID);
    }
    std::vector<std::uint8_t> prefix(der, der + (length - size));
    OPENSSL_free(der);
    return prefixes->emplace(type, std::move(prefix)).first->second;
}

}  // namespace

std::unique_ptr<RsaKey> RsaKey::generate(DWORD bits) {
    if (bits < kMinRsaBits || bits > kMaxRsaBits || bits % 16 != 0) {
        fail(NTE_BAD_FLAGS);
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(requireContext(), "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &raw) != 1) {
        fail(NTE_FAIL);
    }
    return std::unique_ptr<RsaKey>(new RsaKey(PkeyPtr(raw), bits, true));
}

std::unique_ptr<RsaKey> RsaKey::fromBlob(std::span<const std::uint8_t> blob) {
    const RsaBlobView view = parseRsaBlob(blob);
    BnPtr n = bnFromLittleEndian(view.modulus);
    // The modulus must fill the declared length (top byte set) and be odd.
    if (BN_num_bits(n.get()) <= static_cast<int>(view.bitLength) - 8 || !BN_is_odd(n.get())) {
        fail(NTE_BAD_DATA);
    }
    BnPtr e(BN_new());
    if (!e || BN_set_word(e.get(), view.publicExponent) != 1) {
        throw std::bad_alloc();
    }
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld) {
        throw std::bad_alloc();
    }
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    BnPtr p, q, dp, dq, qinv, d;
    if (view.hasPrivate) {
        p = bnFromLittleEndian(view.prime1);
        q = bnFromLittleEndian(view.prime2);
        dp = bnFromLittleEndian(view.exponent1);
        dq = bnFromLittleEndian(view.exponent2);
        qinv = bnFromLittleEndian(view.coefficient);
        d = bnFromLittleEndian(view.privateExponent);
        // Inconsistent private parts would make OpenSSL compute garbage (or fault-check and
        // fall back silently): the primes must multiply to the modulus, every part be non-zero
        // and below the modulus.
        BnPtr product(BN_new());
        std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> bnCtx(BN_CTX_new(), BN_CTX_free);
        if (!product || !bnCtx || BN_mul(product.get(), p.get(), q.get(), bnCtx.get()) != 1) {
            throw std::bad_alloc();
        }
        if (BN_cmp(product.get(), n.get()) != 0 || BN_is_zero(d.get()) || BN_is_zero(dp.get()) ||
            BN_is_zero(dq.get()) || BN_is_zero(qinv.get()) || BN_cmp(d.get(), n.get()) >= 0) {
            fail(NTE_BAD_DATA);
        }
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get());
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(requireContext(), "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    // No EVP_PKEY_check here: it would refuse the identity key (exponent 1) that callers rely
    // on; the structural checks above are what a blob must pass.
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, view.hasPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1) {
        fail(NTE_BAD_DATA);
    }
    std::unique_ptr<RsaKey> key(new RsaKey(PkeyPtr(raw), view.bitLength, view.hasPrivate));
    key->identity_ = view.hasPrivate && view.publicExponent == 1 && BN_is_one(d.get()) &&
                     BN_is_one(dp.get()) && BN_is_one(dq.get());
    return key;
}

SecureBytes RsaKey::exportBlob(bool withPrivate, ALG_ID alg) const {
    if (withPrivate && !hasPrivate_) {
        fail(NTE_BAD_KEY_STATE);
    }
    SecureBytes out(withPrivate ? privateBlobSize(bits_) : publicBlobSize(bits_));
    writeBlobHeader(out.data(), withPrivate ? PRIVATEKEYBLOB : PUBLICKEYBLOB, alg);
    BnPtr e = getParam(pkey_.get(), OSSL_PKEY_PARAM_RSA_E);
    if (BN_num_bytes(e.get()) > 4) {
        fail(NTE_BAD_KEY_STATE);  // CryptoAPI carries the public exponent in one DWORD
    }
    const DWORD magic = withPrivate ? RSA2_MAGIC : RSA1_MAGIC;
    const DWORD words[3] = {magic, bits_, static_cast<DWORD>(BN_get_word(e.get()))};
    for (int w = 0; w < 3; ++w) {
        for (int i = 0; i < 4; ++i) {
            out[8 + 4 * w + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
        }
    }
    std::size_t at = kRsaHeaderSize;
    auto put = [&](const char* name, std::size_t n) {
        BnPtr v = getParam(pkey_.get(), name);
        if (!bnToLittleEndian(v.get(), out.data() + at, n)) {
            fail(NTE_BAD_KEY_STATE);
        }
        at += n;
    };
    put(OSSL_PKEY_PARAM_RSA_N, bits_ / 8);
    if (withPrivate) {
        put(OSSL_PKEY_PARAM_RSA_FACTOR1, bits_ / 16);
        put(OSSL_PKEY_PARAM_RSA_FACTOR2, bits_ / 16);
        put(OSSL_PKEY_PARAM_RSA_EXPONENT1, bits_ / 16);
        put(OSSL_PKEY_PARAM_RSA_EXPONENT2, bits_ / 16);
        put(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, bits_ / 16);
        put(OSSL_PKEY_PARAM_RSA_D, bits_ / 8);
    }
    return out;
}

PkeyCtxPtr RsaKey::context() const {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(requireContext(), pkey_.get(), nullptr));
    if (!ctx) {
        throw std::bad_alloc();
    }
    return ctx;
}

std::vector<std::uint8_t> RsaKey::identitySign(const EVP_MD* md,
                                               std::span<const std::uint8_t> hash) const {
    // What RSA_sign pads: the DER DigestInfo {algorithm, NULL parameters, digest}, or the bare
    // hash without a digest.
    std::vector<std::uint8_t> payload;
    if (md != nullptr) {
        if (hash.size() != static_cast<std::size_t>(EVP_MD_get_size(md))) {
            fail(NTE_BAD_LEN);
        }
        const std::vector<std::uint8_t>& prefix = digestInfoPrefix(md);
        payload.reserve(prefix.size() + hash.size());
        payload.assign(prefix.begin(), prefix.end());
    }
    payload.insert(payload.end(), hash.begin(), hash.end());
    std::vector<std::uint8_t> block(size());
    // The padding function is deprecated in OpenSSL 3 in favour of EVP_PKEY_sign, which is the
    // very RSA operation this path exists to skip.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const int padded =
        RSA_padding_add_PKCS1_type_1(block.data(), static_cast<int>(block.size()), payload.data(),
                                     static_cast<int>(payload.size()));
#pragma GCC diagnostic pop
    if (padded != 1) {
        fail(NTE_BAD_LEN);  // a DigestInfo or bare hash too long for the modulus
    }
    return block;
}

std::vector<std::uint8_t> RsaKey::sign(const EVP_MD* md, std::span<const std::uint8_t> hash) const {
    if (!hasPrivate_) {
        fail(NTE_BAD_KEY);
    }
    if (identity_) {
        return identitySign(md, hash);
    }
    PkeyCtxPtr ctx = context();
    if (EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)) {
        fail(NTE_BAD_ALGID);
    }
    std::vector<std::uint8_t> sig(size());
    std::size_t length = sig.size();
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &length, hash.data(), hash.size()) != 1 ||
        length != sig.size()) {
        fail(NTE_BAD_LEN);  // a bare hash too long for the modulus
    }
    return sig;
}

bool RsaKey::verify(const EVP_MD* md, std::span<const std::uint8_t> hash,
                    std::span<const std::uint8_t> signature) const {
    PkeyCtxPtr ctx = context();
    if (EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)) {
        fail(NTE_BAD_ALGID);
    }
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(),
                           hash.size()) == 1;
}

std::vector<std::uint8_t> RsaKey::encrypt(std::span<const std::uint8_t> plain, bool oaep) const {
    PkeyCtxPtr ctx = context();
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(),
                                     oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) != 1) {
        fail(NTE_FAIL);
    }
    std::vector<std::uint8_t> out(size());
    std::size_t length = out.size();
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()) != 1 ||
        length != out.size()) {
        fail(NTE_BAD_LEN);
    }
    return out;
}

SecureBytes RsaKey::decrypt(std::span<const std::uint8_t> cipher, bool oaep) const {
    if (!hasPrivate_) {
        fail(NTE_BAD_KEY);
    }
    if (cipher.size() != size()) {
        fail(NTE_BAD_DATA);
    }
    PkeyCtxPtr ctx = context();
    if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(),
                                     oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) != 1) {
        fail(NTE_FAIL);
    }
    // Newer OpenSSL answers a bad PKCS#1 v1.5 padding with a random key instead of an error
    // (implicit rejection); CryptoAPI reports NTE_BAD_DATA, so ask for the error where the
    // parameter exists (older versions ignore it).
    unsigned int explicitReject = 0;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_uint("implicit-rejection", &explicitReject),
                           OSSL_PARAM_END};
    EVP_PKEY_CTX_set_params(ctx.get(), params);
    SecureBytes out(size());
    std::size_t length = out.size();
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &length, cipher.data(), cipher.size()) != 1) {
        fail(NTE_BAD_DATA);
    }
    out.resize(length);
    return out;
}

}  // namespace vantor::capi
