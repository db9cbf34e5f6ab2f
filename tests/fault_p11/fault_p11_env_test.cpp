// The fault module configured by FAULT_P11_CONFIG (set by CTest to "preinitialized") before any
// code of the process touched it.
#include "fault_module.h"

#include <gtest/gtest.h>

namespace vantor::faultp11 {
namespace {

TEST(FaultP11Environment, ConfigurationFromTheEnvironmentAppliesAtFirstUse) {
    const char* env = std::getenv("FAULT_P11_CONFIG");
    if (env == nullptr || std::string(env) != "preinitialized") {
        GTEST_SKIP() << "run through CTest, which sets FAULT_P11_CONFIG=preinitialized";
    }
    pkcs11::Module module(FaultModulePath().c_str());
    ASSERT_TRUE(module.loaded()) << FaultModulePath();
    CK_INFO info{};
    EXPECT_EQ(module->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(module.initialize(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    FaultModule fault;
    EXPECT_EQ(fault.calls("C_GetInfo"), 1u);
    EXPECT_STREQ(module.symbol<decltype(&FaultP11_LastError)>("FaultP11_LastError")(), "");
}

}  // namespace
}  // namespace vantor::faultp11
