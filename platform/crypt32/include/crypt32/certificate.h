// A decoded certificate for the manager's certificate list: import DER, read the subject name,
// show the viewer.
#pragma once

#include <string>
#include <vector>

#include "win/wincrypt_certs.h"

namespace vantor::crypt32 {

class Certificate final {
  public:
    Certificate() = default;
    ~Certificate();
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;
    Certificate(Certificate&& other) noexcept;
    Certificate& operator=(Certificate&& other) noexcept;

    // Decodes DER bytes; S_OK, or the decoder's code (CRYPT_E_ASN1_*) leaving the object as it
    // was.
    HRESULT Import(const std::vector<BYTE>& encoded);
    bool Imported() const { return ctx_ != nullptr; }
    // The subject in the Windows display form, most specific first: "CN=..., O=..., C=...".
    // Empty when nothing is imported.
    std::string SubjectName() const;
    // Opens the certificate viewer from "cryptui.dll"; S_OK after it closes, or the failure
    // (HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the viewer library is missing).
    HRESULT Display() const;

    PCCERT_CONTEXT context() const { return ctx_; }

  private:
    PCCERT_CONTEXT ctx_ = nullptr;
};

}  // namespace vantor::crypt32
