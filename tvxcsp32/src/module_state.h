// The process-wide PKCS#11 module state: loading from the "Pkcs11Lib" list, the slot list, the
// current slot with its "Slot nr" setting, slot selection, sessions and logins.
#pragma once

#include "pkcs11/pkcs11.h"
#include "win/winreg.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vantor/secure_bytes.h"

namespace tvx {

struct CardSession;

// A slot-description text, or a slot-list index.
using SlotSelector = std::variant<std::string, DWORD>;

// Registry values of the provider key (read only).
std::string readModuleList();      // "Pkcs11Lib" or the default list
DWORD readDetectReaderChanges();   // "DetectPCSCReaderChanges", 0 unless a non-zero REG_DWORD
std::string readSmartLogonName();  // "SmartLogonContainerName" or "SmartLogon"

class ModuleState final {
  public:
    static ModuleState& instance();

    // 0, or the loader's last error, or a PKCS#11 value + 22000.
    DWORD ensureModule(bool force);
    // Writes "Slot nr", finalizes and frees the module.
    void unload();

    bool initialised() const { return initialised_; }
    CK_FUNCTION_LIST_PTR functions() const { return functions_; }
    const std::vector<CK_SLOT_ID>& slotIds() const { return slots_; }
    DWORD currentSlot() const { return currentSlot_; }
    void setCurrentSlot(DWORD index) { currentSlot_ = index; }
    // The dialog's list positions -> slot-list indexes.
    std::vector<DWORD>& comboMap() { return comboMap_; }

    // 0 or ERR_SLOT_NOT_FOUND / rv + 22000; the found index becomes current.
    DWORD selectSlot(const SlotSelector& selector);
    // Closes the session's previous session, opens one on the current slot; 0 or rv + 22000.
    DWORD openSession(CardSession& card);
    // Selection, session and C_Login with the PIN; 0, kWrongChv or rv + 22000.
    DWORD loginWithPin(CardSession& card, const vantor::SecureBytes* pin,
                       const SlotSelector* selector);
    // Which slots hold a token (one entry per slot); false with *error set on a failure.
    bool tokenPresence(std::vector<bool>& present, DWORD* error);

  private:
    ModuleState() = default;
    void release();  // frees the library without C_Finalize
    HMODULE library_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    bool initialised_ = false;
    std::vector<CK_SLOT_ID> slots_;
    std::vector<DWORD> comboMap_;
    DWORD currentSlot_ = 0xFFFFFFFFu;
    HKEY settings_ = nullptr;
};

inline DWORD p11Error(CK_RV rv) {
    return static_cast<DWORD>(rv) + 22000u;
}

}  // namespace tvx
