// Test-side handle on fault_pkcs11.so.
#include "fault_module.h"

#include <vector>

namespace vantor::faultp11 {

std::string FaultModulePath() {
    return VANTOR_FAULT_P11_PATH;
}

std::string NoFunctionListPath() {
    return VANTOR_NO_FUNCTION_LIST_PATH;
}

FaultModule::FaultModule() : path_(FaultModulePath()), module_(path_.c_str()) {
    configure_ = module_.symbol<decltype(&FaultP11_Configure)>("FaultP11_Configure");
    lastError_ = module_.symbol<decltype(&FaultP11_LastError)>("FaultP11_LastError");
    count_ = module_.symbol<decltype(&FaultP11_Count)>("FaultP11_Count");
    reset_ = module_.symbol<decltype(&FaultP11_ResetCounts)>("FaultP11_ResetCounts");
    stats_ = module_.symbol<decltype(&FaultP11_Stats)>("FaultP11_Stats");
    if (!lastError_ || !count_ || !reset_ || !stats_) {
        configure_ = nullptr;  // ok() is false: the tests report the module as missing
    }
}

bool FaultModule::configure(const std::string& spec, std::string* why) {
    if (configure_ == nullptr) {
        if (why != nullptr) {
            *why = "fault module not loaded from " + path_;
        }
        return false;
    }
    if (configure_(spec.c_str()) != 0) {
        if (why != nullptr) {
            *why = lastError_();
        }
        return false;
    }
    return true;
}

std::string FaultModule::stats() const {
    if (stats_ == nullptr) {
        return "fault module not loaded";
    }
    std::vector<char> buffer(stats_(nullptr, 0) + 1);
    stats_(buffer.data(), buffer.size());
    return buffer.data();
}

}  // namespace vantor::faultp11
