// A certificate context with everything its CERT_INFO points to, and the decoder that fills it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "properties.h"
#include "win/wincrypt_certs.h"

namespace vantor::crypt32 {

class CertStore;

// Decoding failure: the Windows code (CRYPT_E_ASN1_*) to report.
struct DecodeError {
    HRESULT code;
};

// The object behind a PCCERT_CONTEXT; the buffers its CERT_INFO points into are owned here and
// never move. The context pointer maps back to the object through the live-context table.
class CertObject final {
  public:
    // Decodes DER; throws DecodeError when the bytes are not one X.509 certificate.
    static std::unique_ptr<CertObject> decode(const BYTE* der, size_t size);
    ~CertObject();
    CertObject(const CertObject&) = delete;
    CertObject& operator=(const CertObject&) = delete;

    PCCERT_CONTEXT context() const { return &ctx_; }

    const Bytes& der() const { return der_; }
    Bytes sha1() const;
    Bytes md5() const;
    // Issuer name and serial number, length-prefixed: what identifies a certificate in a store.
    Bytes identity() const;
    // NotBefore as 100-ns intervals since 1601, the order CERT_STORE_ADD_NEWER compares.
    std::uint64_t notBefore() const;

    // Store membership: the store (held by reference) and the entry's id in it.
    CertStore* store() const { return store_; }
    std::int64_t entryId() const { return entryId_; }
    void attach(CertStore* store, std::int64_t id);

    // Properties of a context outside any store live here; a store keeps its own.
    PropertyMap& localProperties() { return local_; }
    std::mutex& localMutex() { return localMutex_; }

    void addRef() { refs_.fetch_add(1); }
    bool release() { return refs_.fetch_sub(1) == 1; }

  private:
    CertObject() = default;

    CERT_CONTEXT ctx_{};
    CERT_INFO info_{};
    Bytes der_;
    Bytes serial_;
    Bytes issuer_;
    Bytes subject_;
    Bytes sigParams_;
    Bytes keyParams_;
    Bytes publicKey_;
    Bytes issuerUid_;
    Bytes subjectUid_;
    std::string sigOid_;
    std::string keyOid_;
    std::vector<std::string> extOids_;
    std::vector<Bytes> extValues_;
    std::vector<CERT_EXTENSION> extensions_;

    std::atomic<int> refs_{1};
    CertStore* store_ = nullptr;
    std::int64_t entryId_ = 0;
    PropertyMap local_;
    std::mutex localMutex_;
};

// Handle checks: every live context is registered until its last reference goes; a pointer
// that is not registered (freed, forged) finds nothing.
void registerContext(CertObject* cert);
void unregisterContext(const CertObject* cert);
CertObject* lookupContext(PCCERT_CONTEXT ctx);

}  // namespace vantor::crypt32
