// Protected-path PINs through the PIN-dialog plug-in, on the card bench: cardtoken.so loads
// crvk2plg.so for C_Login / C_SetPIN / C_InitPIN without values, and the test answers the real
// dialogs and message boxes in this process (offscreen Qt); pkcs11-tool does the same from
// outside with the answering library preloaded.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "bench_client.h"
#include "card_bench.h"
#include "cardtoken_client.h"
#include "modal_script.h"
#include "token_bench.h"

namespace cardtoken::test {
namespace {

namespace fs = std::filesystem;
using crvk2plg::test::answerBox;
using crvk2plg::test::cancel;
using crvk2plg::test::fillAndOk;
using crvk2plg::test::ModalScript;
using crvk2plg::test::Seen;
using crvk2plg::test::Step;
using B = QMessageBox;

const char kPinPadSerialLine[] = "protected_path = yes";

class PluginPins : public ClientOnBench {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "cardtoken_plugin_test";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr) {
            new QApplication(argc, argv);
        }
        QApplication::setQuitOnLastWindowClosed(false);
        conf_ = std::make_unique<BenchConf>(workDir() + "/plugin");
        if (!conf_->why.empty()) {
            return;
        }
        // The bench's PIN-pad card asks the plug-in instead of taking the configured PIN.
        std::ifstream in(conf_->file);
        std::stringstream text;
        text << in.rdbuf();
        std::string conf = text.str();
        const auto at = conf.find(kPinPadSerialLine);
        if (at == std::string::npos) {
            conf_->why = "no PIN-pad card in the bench configuration";
            return;
        }
        conf.insert(at + sizeof(kPinPadSerialLine) - 1, "\npin_dialog = yes");
        std::ofstream(conf_->file, std::ios::trunc) << conf;
    }
    void SetUp() override {
        ::setenv("LANG", "en_US.UTF-8", 1);
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_MESSAGES");
        ClientOnBench::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        std::string error;
        ASSERT_TRUE(bench().insertCard("token-pinpad", 0, {}, &error)) << error;
        slot_ = static_cast<CK_SLOT_ID>(bench().readerIndex(0));
        ASSERT_EQ(client_->open(slot_, &session_), CKR_OK) << client_->lastError();
    }
    // Runs a call with its windows answered by `steps`; what they showed goes to `seen`.
    template <typename Call>
    CK_RV answered(std::vector<Step> steps, Call call, std::vector<Seen>* seen) {
        ModalScript script(std::move(steps));
        const CK_RV rv = call();
        EXPECT_TRUE(script.allStepsRan()) << "a window the test expected did not show";
        EXPECT_EQ(script.unexpected(), 0) << "a window showed that the test did not expect";
        *seen = script.seen();
        return rv;
    }
    CK_RV loginWithoutPin(std::vector<Step> steps, std::vector<Seen>* seen) {
        return answered(
            std::move(steps), [&] { return (*client_)->C_Login(session_, CKU_USER, nullptr, 0); },
            seen);
    }
    CK_STATE state() {
        CK_SESSION_INFO info{};
        EXPECT_EQ((*client_)->C_GetSessionInfo(session_, &info), CKR_OK);
        return info.state;
    }

    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

std::vector<std::string> texts(const std::vector<Seen>& seen) {
    std::vector<std::string> out;
    for (const Seen& s : seen) {
        out.push_back(s.className == "QMessageBox" ? s.text : s.title);
    }
    return out;
}

const std::string kDialog = "Please enter the Smartcard's PIN";
const std::string kRetry = "PIN incorrect.\r\nDo you want retry?";
const std::string kDone = "Operation successfully completed";
const std::string kFailed = "Operation failed";

TEST_F(PluginPins, LoginAsksThePluginAndRetriesWhileTheUserSaysYes) {
    const struct {
        const char* name;
        std::vector<Step> steps;
        CK_RV rv;
        std::vector<std::string> shown;
    } cases[] = {
        {"right PIN", {fillAndOk({{"201", "1234"}}), answerBox(B::Ok)}, CKR_OK, {kDialog, kDone}},
        {"wrong, retry, right",
         {fillAndOk({{"201", "9999"}}), answerBox(B::Yes), fillAndOk({{"201", "1234"}}),
          answerBox(B::Ok)},
         CKR_OK,
         {kDialog, kRetry, kDialog, kDone}},
        {"wrong, no retry",
         {fillAndOk({{"201", "9999"}}), answerBox(B::No), answerBox(B::Ok)},
         CKR_PIN_INCORRECT,
         {kDialog, kRetry, kFailed}},
        // Three tries at most, however often the user says Yes.
        {"wrong three times",
         {fillAndOk({{"201", "1"}}), answerBox(B::Yes), fillAndOk({{"201", "2"}}),
          answerBox(B::Yes), fillAndOk({{"201", "3"}}), answerBox(B::Ok)},
         CKR_PIN_INCORRECT,
         {kDialog, kRetry, kDialog, kRetry, kDialog, kFailed}},
        {"cancelled", {cancel()}, CKR_FUNCTION_CANCELED, {kDialog}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Seen> seen;
        EXPECT_EQ(loginWithoutPin(c.steps, &seen), c.rv);
        EXPECT_EQ(texts(seen), c.shown);
        EXPECT_EQ(state(), c.rv == CKR_OK ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION);
        if (c.rv == CKR_OK) {
            ASSERT_EQ((*client_)->C_Logout(session_), CKR_OK);
        }
    }
}

TEST_F(PluginPins, PinChangeAndUnblockUseTheirDialogs) {
    std::vector<Seen> seen;
    // Change 1234 -> 5678 in a user session, values from the change dialog (kind 4).
    ASSERT_EQ(client_->login(session_, "1234"), CKR_OK);
    EXPECT_EQ(
        answered(
            {fillAndOk({{"210", "1234"}, {"211", "5678"}, {"214", "5678"}}), answerBox(B::Ok)},
            [&] { return (*client_)->C_SetPIN(session_, nullptr, 0, nullptr, 0); }, &seen),
        CKR_OK);
    EXPECT_EQ(texts(seen), (std::vector<std::string>{"Changing Enhanced Signature PIN", kDone}));
    ASSERT_EQ((*client_)->C_Logout(session_), CKR_OK);
    EXPECT_EQ(client_->login(session_, "1234"), CKR_PIN_INCORRECT);
    ASSERT_EQ(client_->login(session_, "5678"), CKR_OK);
    ASSERT_EQ((*client_)->C_Logout(session_), CKR_OK);

    // Unblock (kind 3): a wrong PUK asks to retry (event 16), the SO PIN as PUK sets 1234 again.
    EXPECT_EQ(
        answered(
            {fillAndOk({{"203", "00000000"}, {"204", "1234"}, {"205", "1234"}}), answerBox(B::Yes),
             fillAndOk({{"203", "12345678"}, {"204", "1234"}, {"205", "1234"}}), answerBox(B::Ok)},
            [&] { return (*client_)->C_InitPIN(session_, nullptr, 0); }, &seen),
        CKR_OK);
    EXPECT_EQ(texts(seen), (std::vector<std::string>{"Unlocking Enhanced Signature PIN",
                                                     "PUK incorrect.\r\nDo you want retry?",
                                                     "Unlocking Enhanced Signature PIN", kDone}));
    EXPECT_EQ(state(), CKS_RW_PUBLIC_SESSION) << "the PUK's SO login ends with the call";
    EXPECT_EQ(client_->login(session_, "1234"), CKR_OK);
}

// End to end from outside: pkcs11-tool --login without --pin on the PIN-pad token. The answering
// library (preloaded, test-only) types the PIN into the plug-in's real dialog.
TEST_F(PluginPins, Pkcs11ToolLoginGetsItsPinFromTheDialog) {
    if (!fs::exists("/usr/bin/pkcs11-tool")) {
        GTEST_SKIP() << "pkcs11-tool (opensc) missing";
    }
    client_.reset();  // the token is made; pkcs11-tool starts its own module instance
    const std::string log = conf_->dir + "/answers.log";
    fs::remove(log);
    std::string preload = CRVK2PLG_AUTOANSWER_PATH;
    std::vector<std::pair<std::string, std::string>> env = childEnvironment();
    for (auto& [name, value] : env) {
        if (name == "LD_PRELOAD") {
            preload = value + ":" + preload;  // the sanitizer runtime stays first
        }
    }
    env.emplace_back("LD_PRELOAD", preload);
    env.emplace_back("QT_QPA_PLATFORM", "offscreen");
    env.emplace_back("CRVK2PLG_ANSWER_PIN", "1234");
    env.emplace_back("CRVK2PLG_ANSWER_LOG", log);
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    auto run = vantor::tokenbench::runTool({"/usr/bin/pkcs11-tool", "--module", modulePath(),
                                            "--slot", std::to_string(slot_), "--login",
                                            "--list-objects", "--type", "privkey"});
    for (const char* name :
         {"LD_PRELOAD", "QT_QPA_PLATFORM", "CRVK2PLG_ANSWER_PIN", "CRVK2PLG_ANSWER_LOG"}) {
        ::unsetenv(name);
    }
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("PIN Pad Key"), std::string::npos)
        << "the private key shows only after a login:\n"
        << run.output;
    std::ifstream in(log);
    std::stringstream shown;
    shown << in.rdbuf();
    EXPECT_EQ(shown.str(),
              "dialog|Please enter the Smartcard's PIN|Please enter Enhanced Signature PIN\n"
              "box|Information|Operation successfully completed\n");
}

}  // namespace
}  // namespace cardtoken::test
