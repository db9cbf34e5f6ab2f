// C_Initialize of cardtoken.so: a missing or bad configuration is refused with
// CKR_GENERAL_ERROR and a reason, never a crash, and a good one starts the module. No readers
// are needed: nothing here asks pcsc-lite.
#include "bench_conf.h"
#include "cardtoken_client.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

namespace cardtoken::test {
namespace {

namespace fs = std::filesystem;

// Sets (or, with nullptr, clears) one variable for a scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class CardTokenInit : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { conf_ = std::make_unique<BenchConf>(workDir()); }
    static void TearDownTestSuite() { conf_.reset(); }
    void SetUp() override {
        if (!conf_->why.empty()) {
            GTEST_SKIP() << conf_->why;
        }
        if (!fs::exists("/usr/lib/softhsm/libsofthsm2.so")) {
            GTEST_SKIP() << "SoftHSM2 is not installed (package softhsm2)";
        }
        ASSERT_TRUE(client_.loaded()) << modulePath();
    }
    // A configuration file in the work folder; keys/ of the bench configuration sit beside it.
    std::string writeConf(const std::string& name, const std::string& text) {
        const std::string path = conf_->dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    static inline std::unique_ptr<BenchConf> conf_;
    Client client_;
};

TEST_F(CardTokenInit, RefusedConfigurationsNameTheirCause) {
    const std::string head = "[module]\ntoken_dir = bad-tokens\n";
    const struct {
        const char* name;
        std::optional<std::string> text;  // nullopt: CARDTOKEN_CONF unset
        const char* reason;
    } cases[] = {
        {"unset", std::nullopt, "CARDTOKEN_CONF is not set"},
        {"missing file", "", "cannot read"},
        {"malformed", "[module]\ntoken_dir = t\n[default]\nuser_pin\n", "line 4: expected"},
        {"no token_dir", "[default]\n", "token_dir is missing"},
        {"object file missing", head + "[default]\nobject = cert keys/none.pem\n",
         "keys/none.pem: cannot be read"},
        {"wrong PKCS#12 password", head + "[default]\nobject = pkcs12 keys/cns.p12 password=x\n",
         "cannot be decrypted"},
        {"not a certificate", head + "[default]\nobject = cert cardtoken.conf\n",
         "no PEM or DER certificate"},
        {"key and certificate apart",
         head + "[default]\nobject = pem keys/m4-key.pem keys/cns-cert.pem\n",
         "does not belong to the key"},
        {"bad SoftHSM2 path", "[module]\ntoken_dir = t\nsofthsm = /nonexistent/softhsm.so\n",
         "cannot read the SoftHSM2 module"},
        {"SoftHSM2 is no PKCS#11 module", "[module]\ntoken_dir = t\nsofthsm = keys/cns.p12\n",
         "cannot load"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = conf_->dir + "/absent.conf";
        if (c.text && !c.text->empty()) {
            path = writeConf("case.conf", *c.text);
        }
        ScopedEnv env("CARDTOKEN_CONF", c.text ? path.c_str() : nullptr);
        EXPECT_EQ(client_.initialize(), static_cast<CK_RV>(CKR_GENERAL_ERROR));
        EXPECT_NE(client_.lastError().find(c.reason), std::string::npos) << client_.lastError();
        CK_INFO info{};
        EXPECT_EQ(client_->C_GetInfo(&info), static_cast<CK_RV>(CKR_CRYPTOKI_NOT_INITIALIZED))
            << "a refused start leaves the module uninitialised";
    }
}

TEST_F(CardTokenInit, GoodConfigurationStartsOnceAndStops) {
    ScopedEnv env("CARDTOKEN_CONF", conf_->file.c_str());
    CK_C_INITIALIZE_ARGS reserved{};
    reserved.pReserved = &reserved;
    EXPECT_EQ(client_->C_Initialize(&reserved), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
    CK_C_INITIALIZE_ARGS osLocking{};
    osLocking.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(client_->C_Initialize(&osLocking), static_cast<CK_RV>(CKR_OK)) << client_.lastError();
    EXPECT_EQ(client_->C_Initialize(nullptr), static_cast<CK_RV>(CKR_CRYPTOKI_ALREADY_INITIALIZED));
    CK_INFO info{};
    ASSERT_EQ(client_->C_GetInfo(&info), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(field(info.manufacturerID, sizeof info.manufacturerID), "Vantor Bench");
    EXPECT_EQ(client_->C_Finalize(nullptr), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(client_->C_Finalize(nullptr), static_cast<CK_RV>(CKR_CRYPTOKI_NOT_INITIALIZED));
    // The private SoftHSM2 setup lives in the configured token directory and nowhere else.
    EXPECT_TRUE(fs::exists(conf_->dir + "/tokens/.cardtoken-softhsm2.conf"));
    // Started again after a stop, as a loader that reloads the module does.
    ASSERT_EQ(client_.initialize(), static_cast<CK_RV>(CKR_OK)) << client_.lastError();
}

// The provider reloads its module by freeing the library without C_Finalize and loading it
// again; the new load must start, not trip over the SoftHSM2 the old one left running.
TEST_F(CardTokenInit, FreedWithoutFinalizeStartsAgain) {
    ScopedEnv env("CARDTOKEN_CONF", conf_->file.c_str());
    client_.unload();  // the library must really go away in between
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        void* lib = ::dlopen(modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << ::dlerror();
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(lib, "C_GetFunctionList"));
        ASSERT_NE(getList, nullptr);
        CK_FUNCTION_LIST_PTR f = nullptr;
        ASSERT_EQ(getList(&f), static_cast<CK_RV>(CKR_OK));
        EXPECT_EQ(f->C_Initialize(nullptr), static_cast<CK_RV>(CKR_OK));
        CK_INFO info{};
        EXPECT_EQ(f->C_GetInfo(&info), static_cast<CK_RV>(CKR_OK));
        if (round == 1) {
            EXPECT_EQ(f->C_Finalize(nullptr), static_cast<CK_RV>(CKR_OK));
        }
        ::dlclose(lib);  // round 0: freed while initialised
        EXPECT_EQ(::dlopen(modulePath().c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
            << "the module stayed loaded, so this test proves nothing";
    }
}

}  // namespace
}  // namespace cardtoken::test
