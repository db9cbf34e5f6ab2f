// The fault-module fixture shared by the provider's frame and dialog tests: a private registry
// with the provider registered over the fault module, fresh module state for every test.
#pragma once

#include "fault_module.h"
#include "provider_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace tvxtest {

using vantor::faultp11::FaultModule;

inline constexpr DWORD kPinIncorrect = 22000 + 0xA0;  // CKR_PIN_INCORRECT through a card step
inline constexpr char kKeyContainer[] = "%01%A5";     // the fault token's key pair

class ProviderFaultTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(makePrivateRegistry());
        // One module handle for the program, whichever suite of this fixture runs first.
        if (fault_ == nullptr) {
            fault_ = new FaultModule;
        }
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        std::filesystem::remove_all(*dir_, ec);
        delete dir_;
    }
    void SetUp() override {
        ASSERT_TRUE(fault_->ok()) << "fault module not loaded";
        offscreenApplication();
        registerProvider("missing-module.so;" + fault_->path());
        configure("");
    }
    // A fresh module state: the provider sees it uninitialised and loads it again.
    static void configure(const std::string& spec) {
        std::string why;
        ASSERT_TRUE(fault_->configure(spec, &why)) << why;
    }
    static std::string* dir_;
    static FaultModule* fault_;
};

}  // namespace tvxtest
