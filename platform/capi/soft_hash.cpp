// Hash objects over OpenSSL digests fetched from the provider's library context.
#include "soft_hash.h"

#include "capi_error.h"

#include <mutex>

namespace vantor::capi {

namespace {

struct HashAlg {
    ALG_ID alg;
    const char* name;  // OpenSSL digest name
};

// SSL3_SHAMD5 is OpenSSL's "MD5-SHA1": the MD5 digest followed by the SHA-1 digest (36 bytes).
constexpr HashAlg kHashes[] = {
    {CALG_MD5, "MD5"},          {CALG_SHA1, "SHA1"},        {CALG_SSL3_SHAMD5, "MD5-SHA1"},
    {CALG_SHA_256, "SHA2-256"}, {CALG_SHA_384, "SHA2-384"}, {CALG_SHA_512, "SHA2-512"},
};
constexpr std::size_t kHashCount = sizeof kHashes / sizeof kHashes[0];

const HashAlg* find(ALG_ID alg) {
    for (const auto& h : kHashes) {
        if (h.alg == alg) {
            return &h;
        }
    }
    return nullptr;
}

// The digest of an algorithm, fetched from the provider's context once and kept for the life
// of the process (as the context is): a fetch looks the name up in the context's method store
// under its lock, a noticeable share of a small signature when done for every hash object.
// Null when the context does not offer the digest; that answer is kept too.
const EVP_MD* fetchedDigest(const HashAlg& h) {
    struct Fetched {
        std::once_flag once;
        EVP_MD* md = nullptr;
    };
    static auto* fetched = new Fetched[kHashCount];
    Fetched& slot = fetched[&h - kHashes];
    std::call_once(slot.once, [&] { slot.md = EVP_MD_fetch(libContext(), h.name, nullptr); });
    return slot.md;
}

}  // namespace

bool HashObject::supported(ALG_ID alg) {
    return find(alg) != nullptr;
}

HashObject::HashObject(ALG_ID alg) : alg_(alg), size_(0) {
    const HashAlg* h = find(alg);
    if (h == nullptr) {
        fail(NTE_BAD_ALGID);
    }
    md_ = fetchedDigest(*h);
    ctx_.reset(EVP_MD_CTX_new());
    if (md_ == nullptr || !ctx_ || EVP_DigestInit_ex(ctx_.get(), md_, nullptr) != 1) {
        fail(NTE_PROVIDER_DLL_FAIL);
    }
    size_ = static_cast<DWORD>(EVP_MD_get_size(md_));
}

HashObject::~HashObject() = default;

const EVP_MD* HashObject::signatureDigest() const {
    return alg_ == CALG_SSL3_SHAMD5 ? nullptr : md_;
}

void HashObject::update(std::span<const std::uint8_t> data) {
    if (finished_) {
        fail(NTE_BAD_HASH_STATE);
    }
    if (EVP_DigestUpdate(ctx_.get(), data.data(), data.size()) != 1) {
        fail(NTE_FAIL);
    }
}

const SecureBytes& HashObject::value() {
    if (!finished_) {
        value_.resize(size_);
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), value_.data(), &length) != 1 || length != size_) {
            fail(NTE_FAIL);
        }
        finished_ = true;
    }
    return value_;
}

void HashObject::setValue(std::span<const std::uint8_t> value) {
    if (value.size() < size_) {
        fail(NTE_BAD_DATA);
    }
    value_.assign(value.begin(), value.begin() + size_);
    finished_ = true;
}

std::unique_ptr<HashObject> HashObject::duplicate() const {
    std::unique_ptr<HashObject> copy(new HashObject(alg_, size_));
    copy->md_ = md_;
    copy->ctx_.reset(EVP_MD_CTX_new());
    if (!copy->ctx_ || EVP_MD_CTX_copy_ex(copy->ctx_.get(), ctx_.get()) != 1) {
        fail(NTE_NO_MEMORY);
    }
    copy->finished_ = finished_;
    copy->value_ = value_;
    return copy;
}

}  // namespace vantor::capi
