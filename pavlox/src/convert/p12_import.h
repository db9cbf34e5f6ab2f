// What the PKCS#12 import takes from a file (the RSA private key and its certificate) and the two
// object templates it writes to the token, apart from any module so the file handling can be
// tested and fuzzed on its own.
#pragma once

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "convert/secure_bytes.h"
#include "pkcs11/pkcs11.h"
#include "win/wincrypt.h"

namespace pavlox {

// Results of the import's own (file) failures; the module's results are folded as everywhere.
inline constexpr HRESULT kHrFileNotFound = static_cast<HRESULT>(0x80200002u);
inline constexpr HRESULT kHrFileInvalid = static_cast<HRESULT>(0x802003EEu);

struct OpenSslFree {
    void operator()(BIO* p) const;
    void operator()(EVP_PKEY* p) const;
    void operator()(X509* p) const;
};
using BioPtr = std::unique_ptr<BIO, OpenSslFree>;

class P12Import final {
  public:
    static constexpr CK_ULONG kKeyAttributes = 17;
    static constexpr CK_ULONG kCertAttributes = 10;

    // Makes the (unopened) file BIO; no file is touched yet.
    P12Import();
    ~P12Import() { release(); }
    P12Import(const P12Import&) = delete;
    P12Import& operator=(const P12Import&) = delete;

    // Opens the file for reading through the BIO: S_OK or kHrFileNotFound.
    HRESULT open(const char* path);
    // Reads from another source instead of a file (tests and fuzzing read from memory).
    void adopt(BioPtr source);
    // Decodes the PKCS#12 structure, decrypts it with password, and takes the key fields and
    // the certificate's encoding, serial, issuer and subject: S_OK or kHrFileInvalid.
    HRESULT read(const char* password);
    // Fills both templates with id and label (copied) and what read() took. Only after read().
    void buildTemplates(std::span<const CK_BYTE> id, std::span<const CK_BYTE> label);

    CK_ATTRIBUTE_PTR keyTemplate() { return keyTemplate_.data(); }
    CK_ATTRIBUTE_PTR certTemplate() { return certTemplate_.data(); }
    // Zeroes the private key's fields and the key template's view of them (after the key has
    // been created, or when the import ends).
    void wipeKey() noexcept;
    // Frees everything in the order the import releases it: the certificate context, the DER
    // encoding, the certificate, the BIO (closing the file), the key.
    void release() noexcept;

  private:
    void clearKeyFields() noexcept;

    std::unique_ptr<EVP_PKEY, OpenSslFree> key_;
    BioPtr bio_;
    std::unique_ptr<X509, OpenSslFree> cert_;
    std::vector<BYTE> der_;
    PCCERT_CONTEXT context_ = nullptr;

    // The key as the token takes it: big-endian, n and d of L bytes, the CRT values of L/2.
    SecureBytes n_, e_, d_, p_, q_, dp_, dq_, qinv_;
    std::vector<CK_BYTE> serial_, issuer_, subject_;  // serial big-endian, names as DER
    std::vector<CK_BYTE> id_, label_;

    CK_OBJECT_CLASS keyClass_ = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType_ = CKK_RSA;
    CK_OBJECT_CLASS certClass_ = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certType_ = CKC_X_509;
    CK_BBOOL true_ = CK_TRUE;
    CK_BBOOL false_ = CK_FALSE;
    std::array<CK_ATTRIBUTE, kKeyAttributes> keyTemplate_{};
    std::array<CK_ATTRIBUTE, kCertAttributes> certTemplate_{};
};

}  // namespace pavlox
