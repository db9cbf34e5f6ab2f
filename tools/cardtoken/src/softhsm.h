// The SoftHSM2 underneath: a private copy of the module on a private configuration, and the
// one token per card serial it keeps.
#pragma once

#include "config.h"

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <string>

namespace cardtoken {

// A failure of the token store, with the PKCS#11 value to report.
struct StoreError {
    CK_RV rv = CKR_GENERAL_ERROR;
    std::string why;
};

class SoftHsm final {
  public:
    SoftHsm() = default;
    ~SoftHsm() { stop(); }
    SoftHsm(const SoftHsm&) = delete;
    SoftHsm& operator=(const SoftHsm&) = delete;

    // Prepares the token directory and private configuration, loads the module and initializes
    // it. Throws ConfigError when any of it fails.
    void start(const Config& config);
    void stop();
    // Forgets the module without calling it: at process exit SoftHSM2 may already be torn down.
    void abandon() {
        f_ = nullptr;
        handle_ = nullptr;
        initialized_ = false;
    }

    CK_FUNCTION_LIST* functions() const { return f_; }
    // Counts SoftHSM2 initializations: sessions made under an older one are gone.
    std::uint64_t generation() const { return generation_; }

    // The SoftHSM2 slot of the card's token, made on first sight from its card settings (under a
    // lock file, so that two processes never make two tokens for one card). A token another process
    // made since our initialization is found by initializing SoftHSM2 again (generation+1).
    CK_RV slotFor(const std::string& cardSerial, const TokenSpec& spec, CK_SLOT_ID* slot,
                  std::string* why);

    // The SoftHSM2 label that binds a token to its card.
    static std::string bindingLabel(const std::string& cardSerial) { return "card:" + cardSerial; }

    // A label given by C_InitToken through the module replaces the configured one; kept in the
    // token directory so that every process presents it.
    std::string labelOverride(const std::string& cardSerial) const;
    void setLabelOverride(const std::string& cardSerial, const std::string& label) const;

  private:
    CK_RV find(const std::string& label, CK_SLOT_ID* slot, std::size_t* initialized);
    CK_RV create(const std::string& cardSerial, const TokenSpec& spec, CK_SLOT_ID* slot,
                 std::string* why);
    CK_RV initialize();
    std::size_t tokensOnDisk() const;

    std::string tokenDir_, conf_;
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* f_ = nullptr;
    bool initialized_ = false;
    std::uint64_t generation_ = 0;
};

}  // namespace cardtoken
