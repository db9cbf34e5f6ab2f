// The PIN and PUK workflows on the card bench: each card type's back end against cardsim cards
// (whose own PIN objects and retry counters answer) and the reader-slot token module over
// SoftHSM2 (checked from outside with pkcs11-tool), with scripted dialogs, and a few runs
// through the real dialogs from the main window's PIN/PUK panel.
#include <gtest/gtest.h>

// Before Qt, whose "slots" keyword would rewrite the client's member of that name.
#include "cardtoken_client.h"
#include "token_bench.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "atr_table.h"
#include "bench_program.h"
#include "card_bench.h"
#include "cardolo_library.h"
#include "change_pin_dlg.h"
#include "main_window.h"
#include "p11_session.h"
#include "pin_dialogs.h"
#include "reader_watch.h"
#include "registry_sandbox.h"
#include "results.h"
#include "settings_store.h"
#include "ui/qt_host.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"

namespace tesmira {
namespace {

constexpr const char* kCnsAtr = "3B8801564E5452544B4332F9";
constexpr const char* kFullP11Atr = "3B8801564E5452544B4638F6";
constexpr const char* kM4Atr = "3B8801564E5452544B4D34F1";
constexpr const char* kPinInitAtr = "3B8801564E5452544B504991";
constexpr const char* kSoPin = "12345678";  // every bench token's security officer PIN

// The ATR table with one entry per card: its ATR, cardtoken.so and the registry type given.
void WriteAtrTable(const std::vector<std::pair<std::string, int>>& entries) {
    SettingsStore settings;
    std::string list;
    char key = 'a';
    for (const auto& [atr, type] : entries) {
        const std::string k(1, key);
        settings.save("ATRs", k + "-atr", atr);
        settings.save("ATRs", k + "-atrMask", std::string(atr.size(), 'F'));
        settings.save("ATRs", k + "-P11", cardtoken::test::modulePath());
        settings.save("ATRs", k + "-name", "bench card " + k);
        settings.save("ATRs", k + "-type", std::to_string(type));
        list += key++;
    }
    settings.save("ATRs", "list", list);
}

class QuietView final : public CardView {
  public:
    void ShowNoCard() override {}
    void ShowCard() override {}
    void SetWaitCursor(bool) override {}
    bool AskInitializePin() override {
        ++asked;
        return agree;
    }
    int asked = 0;
    bool agree = true;
};

// Dialogs that answer as scripted and remember what was shown.
class ScriptedDialogs final : public PinDialogs {
  public:
    PinDialogAnswer Run(PinDialogKind kind, PinDialogMode mode) override {
        shown.emplace_back(kind, mode);
        return next;
    }
    void Notify(const std::string& text, bool warning) override {
        notes.emplace_back(text, warning);
    }
    void Answer(const char* first, const char* newPin, bool ds = false) {
        next.okPressed = true;
        next.first = SecretText(first);
        next.newPin = SecretText(newPin);
        next.changingDS = ds;
    }
    std::vector<std::pair<PinDialogKind, PinDialogMode>> shown;
    std::vector<std::pair<std::string, bool>> notes;
    PinDialogAnswer next;
};

// The card library's own verification, to read a CNS card's PIN state after a workflow.
std::int32_t Verify(std::int32_t reader, const char* pin, const char* puk, const char* dsPin,
                    const char* dsPuk) {
    HMODULE module = LoadLibraryA("cardolo.dll");
    auto verify = ProcAs<CNS_DS_VerifyPinPuk_t>(GetProcAddress(module, "CNS_DS_VerifyPinPuk"));
    const auto arg = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    const auto len = [](const char* s) { return static_cast<std::int32_t>(std::strlen(s)); };
    const std::int32_t rc = verify(reader, nullptr, arg(pin), len(pin), arg(puk), len(puk),
                                   arg(dsPin), len(dsPin), arg(dsPuk), len(dsPuk), nullptr, 1);
    FreeLibrary(module);
    return rc;
}

// pkcs11-tool on the token of slot: the status and output of one command.
vantor::tokenbench::ToolRun Pkcs11Tool(std::int32_t slot, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/pkcs11-tool", "--module",
                                     cardtoken::test::modulePath(), "--slot", std::to_string(slot)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::pair<std::string, const char*>> saved;
    for (const auto& [name, value] : cardtoken::test::childEnvironment()) {
        saved.emplace_back(name, std::getenv(name.c_str()));
        setenv(name.c_str(), value.c_str(), 1);
    }
    auto run = vantor::tokenbench::runTool(argv, 60000);
    for (const auto& [name, value] : saved) {
        if (value != nullptr) {
            setenv(name.c_str(), value, 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    return run;
}

bool UserLogsIn(std::int32_t slot, const std::string& pin) {
    return Pkcs11Tool(slot, {"--login", "--pin", pin, "--list-objects"}).status == 0;
}
::testing::AssertionResult SoLogsIn(std::int32_t slot, const std::string& pin) {
    const auto run = Pkcs11Tool(
        slot, {"--session-rw", "--login", "--login-type", "so", "--so-pin", pin, "--list-objects"});
    if (run.status == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << run.output;
}

class PinFlowsTest : public vantor::bench::CardBenchTest {
  protected:
    void TearDown() override {
        watch.reset();
        CardBenchTest::TearDown();
    }
    void Insert(const std::string& scenario, int slot = 0) {
        std::string error;
        ASSERT_TRUE(bench().insertCard(scenario, slot, {}, &error)) << error;
    }
    // Reads the table, finds the card and answers its type.
    SmartCardCls& Identify() {
        table = std::make_unique<AtrTable>(LoadAtrTable(settings));
        watch = std::make_unique<ReaderWatch>(Cardolo(), *table, view);
        watch->setPinDialogs(&dialogs);
        watch->loading = false;
        watch->Tick();
        return watch->card();
    }

    SettingsStore settings;
    std::unique_ptr<AtrTable> table;
    QuietView view;
    ScriptedDialogs dialogs;
    std::unique_ptr<ReaderWatch> watch;
};

TEST_F(PinFlowsTest, ChangePukWithoutAPukBackEndAnswersNotSupportedWithoutADialog) {
    // The same M4 card typed 5, 9 and 10 by its table entry.
    Insert("token-m4", 0);
    for (const auto& [registryType, cardType] : {std::pair{1, 5}, {128, 9}, {129, 10}}) {
        WriteAtrTable({{kM4Atr, registryType}});
        SmartCardCls& card = Identify();
        ASSERT_EQ(card.smartCardType(), cardType);
        std::int32_t result = 0;
        card.ChangePUK(&result);
        EXPECT_EQ(result, kResultNotSupported) << "type " << cardType;
        EXPECT_EQ(ErrorText(result, OP_CHANGE_PUK), "The requested function is not supported");
        EXPECT_TRUE(dialogs.shown.empty()) << "type " << cardType;
    }
}

TEST_F(PinFlowsTest, EachTypeShowsItsDialogInTheOperationsMode) {
    // Cancelled every time: the dialog and mode are what the dispatch chose, nothing is called.
    struct Row {
        const char* scenario;
        const char* atr;
        int registryType;
        std::int32_t type;
        int kind[3];  // change PIN, unblock, change PUK; 0 = not supported
    };
    const Row rows[] = {
        {"token-cns", kCnsAtr, 1, 2, {2, 2, 2}},
        {"token-fullp11", kFullP11Atr, 1, 8, {1, 1, 1}},
        {"token-m4", kM4Atr, 1, 5, {1, 1, 0}},
    };
    for (const Row& row : rows) {
        Insert(row.scenario, 0);
        WriteAtrTable({{row.atr, row.registryType}});
        SmartCardCls& card = Identify();
        ASSERT_EQ(card.smartCardType(), row.type);
        const PinDialogMode modes[3] = {PinDialogMode::ChangePin, PinDialogMode::Unblock,
                                        PinDialogMode::ChangePuk};
        const std::function<void(std::int32_t*)> ops[3] = {
            [&](std::int32_t* r) { card.ChangePIN(r); },
            [&](std::int32_t* r) { card.UnblockPIN(r); },
            [&](std::int32_t* r) { card.ChangePUK(r); }};
        for (int i = 0; i < 3; ++i) {
            dialogs.shown.clear();
            std::int32_t result = 0;
            ops[i](&result);
            SCOPED_TRACE(std::string(row.scenario) + " operation " + std::to_string(i));
            if (row.kind[i] == 0) {
                EXPECT_EQ(result, kResultNotSupported);
                EXPECT_TRUE(dialogs.shown.empty());
                continue;
            }
            EXPECT_EQ(result, kResultCancelled);
            ASSERT_EQ(dialogs.shown.size(), 1u);
            EXPECT_EQ(static_cast<int>(dialogs.shown[0].first), row.kind[i]);
            EXPECT_EQ(dialogs.shown[0].second, modes[i]);
        }
        ASSERT_TRUE(bench().removeCard(0));
    }
}

TEST_F(PinFlowsTest, FamilyUnblocksGoToTheirCardLibraryExport) {
    Insert("token-m4", 0);
    WriteAtrTable({{kM4Atr, 1}});
    SmartCardCls& card = Identify();
    ASSERT_EQ(card.smartCardType(), 5);
    dialogs.Answer("12345678", "654321");
    std::int32_t result = 1;
    card.UnblockPIN(&result);
    EXPECT_EQ(result, 0);
    // The M4 unblock's RESET RETRY COUNTER on PIN 81: PUK at 0, new PIN at 8, zero-filled.
    const std::string expected =
        "002C008110" + vantor::bench::toHex({'1', '2', '3', '4', '5', '6', '7', '8', '6', '5', '4',
                                             '3', '2', '1', 0, 0});
    bool sent = false;
    for (const auto& exchange : bench().exchanges(0)) {
        sent = sent || vantor::bench::toHex(exchange.command) == expected;
    }
    EXPECT_TRUE(sent) << "no " << expected << " in the card's log";

    // The same card typed as a Setec card: that unblock sends nothing and answers 0.
    WriteAtrTable({{kM4Atr, 128}});
    SmartCardCls& setec = Identify();
    ASSERT_EQ(setec.smartCardType(), 9);
    const std::size_t before = bench().exchanges(0).size();
    setec.UnblockPIN(&result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench().exchanges(0).size(), before);
}

TEST_F(PinFlowsTest, TheSignatureOptionChangesTheSignaturePinOnTheCnsCard) {
    Insert("token-cns", 0);
    WriteAtrTable({{kCnsAtr, 1}});
    SmartCardCls& card = Identify();
    ASSERT_EQ(card.smartCardType(), 2);
    const std::int32_t reader = card.slotId();

    dialogs.Answer("11223344", "55667788", true);
    std::int32_t result = 1;
    card.ChangePIN(&result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Verify(reader, "", "", "55667788", ""), 0) << "the signature PIN is the new one";
    EXPECT_EQ(Verify(reader, "12345678", "", "", ""), 0) << "the main PIN is untouched";

    // The main option changes the card-holder PIN; a wrong old value is the card's answer.
    dialogs.Answer("12345678", "24681357", false);
    card.ChangePIN(&result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Verify(reader, "24681357", "", "", ""), 0);
    dialogs.Answer("00000000", "13572468", false);
    card.ChangePIN(&result);
    EXPECT_EQ(result, -22);
    EXPECT_EQ(ErrorText(result, OP_CHANGE_PIN), "Old PIN is incorrect");

    // PUK change and unblock on the signature pair.
    dialogs.Answer("44332211", "99887766", true);
    card.ChangePUK(&result);
    EXPECT_EQ(result, 0);
    dialogs.Answer("99887766", "10203040", true);
    card.UnblockPIN(&result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Verify(reader, "", "", "10203040", "99887766"), 0);
    // The main unblock with the main PUK.
    dialogs.Answer("87654321", "11112222", false);
    card.UnblockPIN(&result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Verify(reader, "11112222", "87654321", "", ""), 0);
}

TEST_F(PinFlowsTest, PinAndPukChangesOnTheTokenAreSeenFromOutside) {
    Insert("token-fullp11", 0);
    WriteAtrTable({{kFullP11Atr, 1}});
    SmartCardCls& card = Identify();
    ASSERT_EQ(card.smartCardType(), 8);
    const std::int32_t slot = card.slotId();

    dialogs.Answer("1234", "654321");
    std::int32_t result = 1;
    card.ChangePIN(&result);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(UserLogsIn(slot, "654321"));
    EXPECT_FALSE(UserLogsIn(slot, "1234"));

    // A wrong old PIN is the module's CKR_PIN_INCORRECT, and the session is cleaned up: the
    // next change logs in again on a fresh session.
    dialogs.Answer("999999", "111111");
    card.ChangePIN(&result);
    EXPECT_EQ(result, static_cast<std::int32_t>(0x804000A0u));
    EXPECT_EQ(ErrorText(result, OP_CHANGE_PIN), "Old PIN is incorrect");

    // The clean-up after an error logs out and closes a session that is still open.
    {
        P11Session session = P11Session::Open(card.P11(), slot);
        session.Login(SecretText("654321"), false);
        ASSERT_TRUE(session.Logged());
        session.CleanUp();
        EXPECT_FALSE(session.Valid());
        session.CleanUp();  // nothing left to do, nothing raised
    }
    // A failure after the login (a new PIN the module refuses) is the module's answer.
    card.PKCS11ChangePIN(slot, SecretText("654321"), SecretText("12"), &result);
    EXPECT_EQ(result, static_cast<std::int32_t>(0x804000A2u));
    EXPECT_EQ(ErrorText(result, OP_CHANGE_PIN), "Specified PIN is not valid");

    dialogs.Answer(kSoPin, "87654321");
    card.ChangePUK(&result);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(SoLogsIn(slot, "87654321"));

    dialogs.Answer("87654321", "24682468");
    card.UnblockPIN(&result);
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(UserLogsIn(slot, "24682468"));

    // Back as the bench made them, for the tests after this one.
    card.PKCS11ChangePIN(slot, SecretText("24682468"), SecretText("1234"), &result);
    EXPECT_EQ(result, 0);
    card.PKCS11ChangePUK(slot, SecretText("87654321"), SecretText(kSoPin), &result);
    EXPECT_EQ(result, 0);
}

TEST_F(PinFlowsTest, InitialisingThePinKeepsTheTokensObjectsAndLabel) {
    Insert(std::string(TESMIRA_TEST_CARDS) + "/pininit-cns2.card", 0);
    WriteAtrTable({{kPinInitAtr, 1}});
    // The tick asks before initialising; the first time the user says no.
    view.agree = false;
    SmartCardCls& card = Identify();
    ASSERT_EQ(card.smartCardType(), 2);
    ASSERT_EQ(view.asked, 1);
    ASSERT_TRUE(card.TokenNeedsInitialization());
    const std::int32_t slot = card.slotId();

    // Something on the token to lose: a public data object the security officer writes.
    const std::string data = cardtoken::test::workDir() + "-tesmira-keep.bin";
    std::FILE* f = std::fopen(data.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("keep me", f);
    std::fclose(f);
    const auto write =
        Pkcs11Tool(slot, {"--login", "--login-type", "so", "--so-pin", kSoPin, "--write-object",
                          data, "--type", "data", "--label", "KeepMe"});
    ASSERT_EQ(write.status, 0) << write.output;

    // The next watch's first tick asks again; this time the user agrees and the dialog runs.
    dialogs.Answer(kSoPin, "13572468");
    view.agree = true;
    SmartCardCls& again = Identify();
    ASSERT_EQ(view.asked, 2);
    ASSERT_EQ(dialogs.notes.size(), 1u);
    EXPECT_EQ(dialogs.notes[0].first, "Operation successfully completed");
    EXPECT_EQ(dialogs.shown.at(0).second, PinDialogMode::Unblock);

    EXPECT_FALSE(again.TokenNeedsInitialization());
    EXPECT_TRUE(UserLogsIn(slot, "13572468"));
    const auto list = Pkcs11Tool(slot, {"--list-token-slots"});
    EXPECT_NE(list.output.find("Vantor PIN-Init Token"), std::string::npos) << list.output;
    EXPECT_EQ(list.output.find("13572468"), std::string::npos) << "the PIN is no label";
    const auto objects = Pkcs11Tool(slot, {"--list-objects"});
    EXPECT_NE(objects.output.find("KeepMe"), std::string::npos) << objects.output;

    // A wrong security officer PIN is reported with its number.
    dialogs.notes.clear();
    dialogs.Answer("00000000", "13572468");
    std::int32_t result = 0;
    again.InitTokenPin(&result);
    EXPECT_EQ(result, static_cast<std::int32_t>(0x804000A0u));
    ASSERT_EQ(dialogs.notes.size(), 1u);
    EXPECT_EQ(dialogs.notes[0].first,
              "An error occurred: " + std::to_string(static_cast<std::int32_t>(0x804000A0u)));
    EXPECT_TRUE(dialogs.notes[0].second);
    std::filesystem::remove(data);
}

TEST_F(PinFlowsTest, InitialisationIsOnlyForTokenTypes) {
    Insert("token-m4", 0);
    WriteAtrTable({{kM4Atr, 1}});
    SmartCardCls& card = Identify();
    ASSERT_EQ(card.smartCardType(), 5);
    dialogs.Answer(kSoPin, "13572468");
    std::int32_t result = 0;
    card.InitTokenPin(&result);
    EXPECT_EQ(result, kResultNotSupported);
    EXPECT_TRUE(dialogs.shown.empty());
}

// Runs action on the PIN dialog once it is showing (the panel's operation runs it modally).
void WhenDialogShows(const std::function<void(ChangePinDlg&)>& action) {
    WhenModalShows<ChangePinDlg>(action);
}

class PanelTest : public PinFlowsTest {
  protected:
    void SetUp() override {
        PinFlowsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        vantor::ui::setMessageBoxAnswerer([this](const vantor::ui::MessageBoxRequest& request) {
            boxes.push_back(request);
            return IDOK;
        });
    }
    void TearDown() override {
        window.reset();
        vantor::ui::setMessageBoxAnswerer(nullptr);
        PinFlowsTest::TearDown();
    }
    MainWindow& Open() {
        table = std::make_unique<AtrTable>(LoadAtrTable(settings));
        window = std::make_unique<MainWindow>(Cardolo(), *table, settings);
        return *window;
    }
    void Run(int option) {
        window->findChild<QRadioButton*>(("pinOption" + std::to_string(option)).c_str())
            ->setChecked(true);
        window->findChild<QPushButton*>("pinNext")->click();
    }
    static void Fill(ChangePinDlg& d, const char* first, const char* n1, const char* n2) {
        d.oldPin()->setText(first);
        d.newPin1()->setText(n1);
        d.newPin2()->setText(n2);
    }
    std::vector<vantor::ui::MessageBoxRequest> boxes;
    std::unique_ptr<MainWindow> window;
};

TEST_F(PanelTest, AWrongOldPinOnTheCardShowsOldPinIsIncorrect) {
    Insert("token-cns", 0);
    WriteAtrTable({{kCnsAtr, 1}});
    Open();
    bool sawDialog2 = false;
    WhenDialogShows([&](ChangePinDlg& d) {
        sawDialog2 = qobject_cast<ChangePinDlg2*>(&d) != nullptr;
        EXPECT_EQ(d.windowTitle(), "PIN Change");
        // A 9-character old PIN is refused first, and emptied.
        Fill(d, "123456789", "654321", "654321");
        d.findChild<QPushButton*>("okButton")->click();
        EXPECT_TRUE(d.oldPin()->text().isEmpty());
        EXPECT_TRUE(d.isVisible());
        Fill(d, "00000000", "654321", "654321");
        d.findChild<QPushButton*>("okButton")->click();
    });
    Run(0);
    EXPECT_TRUE(sawDialog2);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Old PIN should have at least 1 and at most 8 characters");
    EXPECT_EQ(boxes[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_EQ(boxes[1].text, "Old PIN is incorrect");
}

TEST_F(PanelTest, TheStrongSignatureOptionChangesTheSignaturePinAndCancelShowsNothing) {
    Insert("token-cns", 0);
    WriteAtrTable({{kCnsAtr, 1}});
    Open();
    WhenDialogShows([&](ChangePinDlg& d) {
        auto& d2 = static_cast<ChangePinDlg2&>(d);
        EXPECT_TRUE(d2.PinTypeOption(0)->isChecked()) << "main PIN preselected";
        d2.PinTypeOption(1)->setChecked(true);
        // A 5-character new PIN is refused, then the change goes through.
        Fill(d, "11223344", "12345", "12345");
        d.findChild<QPushButton*>("okButton")->click();
        Fill(d, "11223344", "55667788", "55667788");
        d.findChild<QPushButton*>("okButton")->click();
    });
    Run(0);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "New PIN should have at least 6 and at most 8 characters");
    EXPECT_EQ(boxes[1].text, "Operation successfully completed");
    const std::int32_t reader = window->watch().card().slotId();
    EXPECT_EQ(Verify(reader, "", "", "55667788", ""), 0);

    // Unblock mode speaks of PINs in its mismatch; Cancel then shows nothing at all.
    boxes.clear();
    WhenDialogShows([&](ChangePinDlg& d) {
        EXPECT_EQ(d.windowTitle(), "Unblocking PIN");
        Fill(d, "87654321", "12345678", "12345679");
        d.findChild<QPushButton*>("okButton")->click();
        d.findChild<QPushButton*>("cancelButton")->click();
    });
    Run(1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The new PINs you typed do not match");
    EXPECT_EQ(Verify(reader, "12345678", "", "", ""), 0) << "nothing was called";
}

TEST_F(PanelTest, APinChangeOnTheTokenIsSeenByPkcs11Tool) {
    Insert("token-fullp11", 0);
    WriteAtrTable({{kFullP11Atr, 1}});
    Open();
    ASSERT_EQ(window->watch().card().smartCardType(), 8);
    const std::int32_t slot = window->watch().card().slotId();
    WhenDialogShows([&](ChangePinDlg& d) {
        EXPECT_EQ(qobject_cast<ChangePinDlg2*>(&d), nullptr);
        // PUK mode: its mismatch speaks of PUKs.
        Fill(d, kSoPin, "11223344", "11223345");
        d.findChild<QPushButton*>("okButton")->click();
        d.findChild<QPushButton*>("cancelButton")->click();
    });
    Run(2);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The new PUKs you typed do not match");

    boxes.clear();
    WhenDialogShows([&](ChangePinDlg& d) {
        Fill(d, "1234", "777888", "777888");
        d.findChild<QPushButton*>("okButton")->click();
    });
    Run(0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Operation successfully completed");
    EXPECT_TRUE(UserLogsIn(slot, "777888"));
    std::int32_t result = 1;
    window->watch().card().PKCS11ChangePIN(slot, SecretText("777888"), SecretText("1234"), &result);
    EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace tesmira

int main(int argc, char** argv) {
    return tesmira::RunOnBench(argc, argv, "-tesmira-pin");
}
