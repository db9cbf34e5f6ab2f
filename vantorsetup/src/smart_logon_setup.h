// The smart-logon choice without a window: the user's smart-card logon certificates, and the
// request to the certificate's provider to mark its key for smart-card logon.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "win/wincrypt.h"
#include "win/wincrypt_certs.h"

namespace vantorsetup {

// At most this many certificates are offered.
inline constexpr std::size_t kMaxCertificates = 1024;
// The provider key parameter that asks for the smart-logon marker.
inline constexpr DWORD KP_SMARTLOGON = 0x80000001u;

// Certificate contexts owned by the list (each a duplicate), freed with it.
class CertificateList final {
  public:
    CertificateList() = default;
    ~CertificateList();
    CertificateList(const CertificateList&) = delete;
    CertificateList& operator=(const CertificateList&) = delete;
    CertificateList(CertificateList&& other) noexcept;
    CertificateList& operator=(CertificateList&& other) noexcept;

    // Takes ownership of a context.
    void add(PCCERT_CONTEXT cert) { certs_.push_back(cert); }
    std::size_t size() const { return certs_.size(); }
    bool empty() const { return certs_.empty(); }
    PCCERT_CONTEXT operator[](std::size_t i) const { return certs_[i]; }

  private:
    void release();
    std::vector<PCCERT_CONTEXT> certs_;
};

// Whether a certificate's enhanced key usage includes smart-card logon.
bool isSmartLogonCertificate(PCCERT_CONTEXT cert);
// The certificates of the current user's "MY" store usable for smart-card logon, in
// enumeration order, at most kMaxCertificates; empty when the store cannot be opened.
CertificateList smartLogonCertificates();
// The certificate's friendly display name, at most 1024 characters.
std::string displayName(PCCERT_CONTEXT cert);
// Asks the certificate's provider to mark its key for smart-card logon: 0 on success, else the
// last error of the call that failed.
DWORD markForSmartLogon(PCCERT_CONTEXT cert);

}  // namespace vantorsetup
