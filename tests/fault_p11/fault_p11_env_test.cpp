// The fault module configured by FAULT_P11_CONFIG before any code of the process touched it. CTest
// runs this program twice: with "preinitialized", and with a configuration the module refuses.
#include "fault_module.h"

#include <gtest/gtest.h>

namespace vantor::faultp11 {
namespace {

void expectPreinitialized() {
    pkcs11::Module module(FaultModulePath().c_str());
    ASSERT_TRUE(module.loaded()) << FaultModulePath();
    CK_INFO info{};
    EXPECT_EQ(module->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(module.initialize(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    FaultModule fault;
    EXPECT_EQ(fault.calls("C_GetInfo"), 1u);
    EXPECT_STREQ(module.symbol<decltype(&FaultP11_LastError)>("FaultP11_LastError")(), "");
}

void expectRefused() {
    pkcs11::Module module(FaultModulePath().c_str());
    ASSERT_TRUE(module.loaded()) << FaultModulePath();
    EXPECT_EQ(module.initialize(), CKR_GENERAL_ERROR);
    const auto lastError = module.symbol<decltype(&FaultP11_LastError)>("FaultP11_LastError");
    EXPECT_NE(std::string(lastError()).find("FAULT_P11_CONFIG: slot count out of range"),
              std::string::npos)
        << lastError();

    // A configuration given later replaces the refused one.
    FaultModule fault;
    ASSERT_TRUE(fault.configure("slots=1"));
    EXPECT_STREQ(lastError(), "");
    EXPECT_EQ(module.initialize(), CKR_OK);
}

TEST(FaultP11Environment, ConfigurationAppliesAtFirstUseOrIsRefusedWithItsReason) {
    const char* env = std::getenv("FAULT_P11_CONFIG");
    const std::string spec = env == nullptr ? "" : env;
    if (spec == "preinitialized") {
        expectPreinitialized();
    } else if (spec == "slots=bogus") {
        expectRefused();
    } else {
        GTEST_SKIP() << "run through CTest, which sets FAULT_P11_CONFIG to preinitialized or to "
                        "slots=bogus";
    }
}

}  // namespace
}  // namespace vantor::faultp11
