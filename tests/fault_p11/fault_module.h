// Test-side handle on fault_pkcs11.so: loads it, configures it and reads its counters.
#pragma once

#include "fault_control.h"
#include "pkcs11/module.h"

#include <string>

namespace vantor::faultp11 {

// Full paths of the built fault module and of the library without C_GetFunctionList.
std::string FaultModulePath();
std::string NoFunctionListPath();

// Loads the fault module by its full path (the same instance any other loader of that path in
// the process gets, since the system loader shares it) and binds its control exports. Keeping
// this object alive keeps the module's state alive across another component's load and unload.
class FaultModule final {
  public:
    FaultModule();
    FaultModule(const FaultModule&) = delete;
    FaultModule& operator=(const FaultModule&) = delete;

    bool ok() const { return configure_ != nullptr; }
    const std::string& path() const { return path_; }
    pkcs11::Module& module() { return module_; }
    CK_FUNCTION_LIST_PTR functions() const { return module_.functions(); }

    // Replaces the module's state; false with the module's reason in *why.
    bool configure(const std::string& spec, std::string* why = nullptr);
    unsigned long calls(const char* function) const { return count_(function); }
    unsigned long overlaps() const { return count_("overlaps"); }
    bool initialized() const { return count_("initialized") == 1; }
    bool lastInitializeArgsNull() const { return count_("init_args_null") == 1; }
    unsigned long openSessions() const { return count_("sessions"); }
    void resetCounts() { reset_(); }
    std::string stats() const;

  private:
    std::string path_;
    pkcs11::Module module_;
    decltype(&FaultP11_Configure) configure_ = nullptr;
    decltype(&FaultP11_LastError) lastError_ = nullptr;
    decltype(&FaultP11_Count) count_ = nullptr;
    decltype(&FaultP11_ResetCounts) reset_ = nullptr;
    decltype(&FaultP11_Stats) stats_ = nullptr;
};

}  // namespace vantor::faultp11
