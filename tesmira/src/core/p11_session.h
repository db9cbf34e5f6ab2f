// One session of the automation library (P11Session) as the PIN workflows drive it: opened on a
// Pkcs11Lib's slot, each call raising its HRESULT as a RuntimeError.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "com_ref.h"

#include "pavlox_interfaces.h"

namespace tesmira {

class Pkcs11Lib;
class SecretText;

class P11Session final {
  public:
    // Pkcs11Lib.OpenSession(slot); RuntimeError 91 for a library object that is not there.
    static P11Session Open(const Pkcs11Lib& lib, std::int32_t slot);

    P11Session() = default;
    ~P11Session() { reset(); }
    P11Session(const P11Session&) = delete;
    P11Session& operator=(const P11Session&) = delete;
    P11Session(P11Session&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    P11Session& operator=(P11Session&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }

    explicit operator bool() const { return p_ != nullptr; }
    bool Valid();
    bool Logged();
    void Login(const SecretText& pin, bool asSecurityOfficer);
    void Logout();
    void SetPIN(const SecretText& oldPin, const SecretText& newPin);
    void InitPIN(const SecretText& newPin);
    void Close();
    // The certificate objects stored on the token (CKA_TOKEN true, CKA_CLASS certificate), in
    // the order the search returns them.
    std::vector<ComRef<pavlox::IP11Object>> FindCertificates();
    // Writes the file's key and certificate under ckaId and ckaLabel; the password is wiped.
    void ImportP12File(const std::string& ckaId, const std::string& ckaLabel,
                       const std::string& path, const SecretText& password);

    // After an error, with further errors ignored: logs out when logged in and closes a session
    // that is still valid.
    void CleanUp() noexcept;

  private:
    explicit P11Session(pavlox::IP11Session* owned) : p_(owned) {}
    void reset();

    pavlox::IP11Session* p_ = nullptr;
};

}  // namespace tesmira
