// The other-functions panel on the card bench: the certificate list read from the reader-slot
// token module over SoftHSM2, the card information, the setup program's launch and the PKCS#12
// import (files made by OpenSSL, checked from outside with pkcs11-tool), through the card model
// and through the window's dialogs under Qt's offscreen platform.
#include <gtest/gtest.h>

// Before Qt, whose "slots" keyword would rewrite the client's member of that name.
#include "cardtoken_client.h"
#include "token_bench.h"

#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "atr_table.h"
#include "bench_program.h"
#include "card_bench.h"
#include "cardolo_library.h"
#include "cert_list_dialog.h"
#include "import_p12_dlg.h"
#include "main_window.h"
#include "messages.h"
#include "pin_dialogs.h"
#include "program_state.h"
#include "reader_watch.h"
#include "registry_sandbox.h"
#include "results.h"
#include "settings_store.h"
#include "ui/qt_host.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"

namespace tesmira {
namespace {

constexpr const char* kFullP11Atr = "3B8801564E5452544B4638F6";
constexpr const char* kPlainCnsAtr = "3B8801564E5452434E5333FA";
constexpr const char* kUserPin = "1234";

namespace fs = std::filesystem;

// The build puts the real setup program beside the test programs. The launch tests need that
// place empty or holding a stand-in, so the real program is moved aside for the test and put back
// afterwards, whatever the test's outcome.
class SetupProgramAside {
  public:
    explicit SetupProgramAside(fs::path program)
        : program_(std::move(program)), kept_(program_.string() + ".kept-by-test") {
        std::error_code error;
        if (fs::exists(program_, error)) {
            fs::rename(program_, kept_);
            moved_ = true;
        }
    }
    ~SetupProgramAside() {
        std::error_code error;
        fs::remove(program_, error);
        if (moved_) {
            fs::rename(kept_, program_, error);
        }
    }
    SetupProgramAside(const SetupProgramAside&) = delete;
    SetupProgramAside& operator=(const SetupProgramAside&) = delete;

  private:
    fs::path program_;
    fs::path kept_;
    bool moved_ = false;
};

void WriteAtrTable(const std::string& atr) {
    SettingsStore settings;
    settings.save("ATRs", "a-atr", atr);
    settings.save("ATRs", "a-atrMask", std::string(atr.size(), 'F'));
    settings.save("ATRs", "a-P11", cardtoken::test::modulePath());
    settings.save("ATRs", "a-name", "bench card a");
    settings.save("ATRs", "a-type", "1");
    settings.save("ATRs", "list", "a");
}

// A tool run with the environment this build's module needs in a child.
vantor::tokenbench::ToolRun RunWithModuleEnvironment(const std::vector<std::string>& argv) {
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

std::string ListObjects(std::int32_t slot) {
    const auto run = RunWithModuleEnvironment(
        {"/usr/bin/pkcs11-tool", "--module", cardtoken::test::modulePath(), "--slot",
         std::to_string(slot), "--login", "--pin", kUserPin, "--list-objects"});
    EXPECT_EQ(run.status, 0) << run.output;
    return run.output;
}

std::string Hex(const std::string& text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A PKCS#12 file made by OpenSSL for a fresh key and a self-signed certificate whose subject
// carries a name unique to this run.
struct P12File {
    std::string path;
    std::string commonName;
};

P12File MakeP12(const std::string& dir, const std::string& password) {
    static std::mt19937 engine{std::random_device{}()};
    const std::string name = "Holder " + std::to_string(engine() % 1000000);
    const std::string stem = dir + "/" + std::to_string(engine());
    auto run =
        vantor::tokenbench::runTool({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048",
                                     "-nodes", "-keyout", stem + ".key", "-out", stem + ".pem",
                                     "-days", "30", "-subj", "/C=IT/O=Vantor Test/CN=" + name});
    EXPECT_EQ(run.status, 0) << run.output;
    run = vantor::tokenbench::runTool({"/usr/bin/openssl", "pkcs12", "-export", "-inkey",
                                       stem + ".key", "-in", stem + ".pem", "-out", stem + ".p12",
                                       "-passout", "pass:" + password});
    EXPECT_EQ(run.status, 0) << run.output;
    return {stem + ".p12", name};
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    return true;
}

class Notes final : public PinDialogs {
  public:
    PinDialogAnswer Run(PinDialogKind, PinDialogMode) override { return {}; }
    void Notify(const std::string& text, bool warning) override {
        notes.emplace_back(text, warning);
    }
    std::vector<std::pair<std::string, bool>> notes;
};

class QuietView final : public CardView {
  public:
    void ShowNoCard() override {}
    void ShowCard() override {}
    void SetWaitCursor(bool) override {}
    bool AskInitializePin() override { return false; }
};

class ContentsTest : public vantor::bench::CardBenchTest {
  protected:
    void SetUp() override {
        CardBenchTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        dir = fs::temp_directory_path() / ("tesmira-contents-" + std::to_string(getpid()));
        fs::create_directories(dir);
        vantor::ui::setMessageBoxAnswerer([this](const vantor::ui::MessageBoxRequest& request) {
            boxes.push_back(request);
            return IDOK;
        });
    }
    void TearDown() override {
        window.reset();
        watch.reset();
        vantor::ui::setMessageBoxAnswerer(nullptr);
        ImportP12Dlg::setFileChooser(nullptr);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        CardBenchTest::TearDown();
    }
    void Insert(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(bench().insertCard(scenario, 0, {}, &error)) << error;
    }
    SmartCardCls& Identify() {
        table = std::make_unique<AtrTable>(LoadAtrTable(settings));
        watch = std::make_unique<ReaderWatch>(Cardolo(), *table, view);
        watch->setPinDialogs(&notes);
        watch->loading = false;
        watch->Tick();
        return watch->card();
    }
    MainWindow& Open() {
        table = std::make_unique<AtrTable>(LoadAtrTable(settings));
        window = std::make_unique<MainWindow>(Cardolo(), *table, settings);
        return *window;
    }
    void RunOther(int option) {
        window->findChild<QRadioButton*>(("otherOption" + std::to_string(option)).c_str())
            ->setChecked(true);
        window->findChild<QPushButton*>("otherNext")->click();
    }
    // The subjects the certificate list shows when option 0 runs.
    std::vector<std::string> ListedSubjects() {
        std::vector<std::string> subjects;
        WhenModalShows<CertListDialog>([&subjects](CertListDialog& d) {
            for (int i = 0; i < d.list()->topLevelItemCount(); ++i) {
                subjects.push_back(d.list()->topLevelItem(i)->text(0).toStdString());
            }
            d.findChild<QPushButton*>("closeButton")->click();
        });
        RunOther(0);
        return subjects;
    }
    // Fills the import dialog when it shows; OK pressed once.
    void ImportThroughDialog(const std::string& label, const std::string& path,
                             const std::string& password, const std::string& pin) {
        WhenModalShows<ImportP12Dlg>([=](ImportP12Dlg& d) {
            d.ckaIDEdt->setText(QString::fromStdString(label));
            d.p12FileEdt->setText(QString::fromStdString(path));
            d.p12PassEdt->setText(QString::fromStdString(password));
            d.PinEdt->setText(QString::fromStdString(pin));
            d.findChild<QPushButton*>("okButton")->click();
        });
        RunOther(3);
    }

    SettingsStore settings;
    std::unique_ptr<AtrTable> table;
    QuietView view;
    Notes notes;
    std::unique_ptr<ReaderWatch> watch;
    std::unique_ptr<MainWindow> window;
    std::vector<vantor::ui::MessageBoxRequest> boxes;
    fs::path dir;
};

TEST_F(ContentsTest, ATokenWithoutCertificatesOpensAnEmptyList) {
    Insert("cns");
    WriteAtrTable(kPlainCnsAtr);
    Open();
    ASSERT_TRUE(window->watch().card().CanReadContents());
    EXPECT_TRUE(ListedSubjects().empty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ContentsTest, TheListIsReadOncePerCardObjectAndAgainAfterAnImport) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    SmartCardCls& card = Identify();
    ASSERT_EQ(card.smartCardType(), 8);
    const std::size_t before = card.Certificates().Count();
    ASSERT_GE(before, 1u);
    EXPECT_NE(card.Certificates().Item(1).Certificate.SubjectName().find("CN="), std::string::npos);

    // A certificate written from outside is not seen while the cached list lives.
    const P12File outside = MakeP12(dir.string(), "pw");
    const auto pem = outside.path.substr(0, outside.path.size() - 4) + ".pem";
    auto run = vantor::tokenbench::runTool(
        {"/usr/bin/openssl", "x509", "-in", pem, "-outform", "DER", "-out", pem + ".der"});
    ASSERT_EQ(run.status, 0) << run.output;
    run = RunWithModuleEnvironment(
        {"/usr/bin/pkcs11-tool", "--module", cardtoken::test::modulePath(), "--slot",
         std::to_string(card.slotId()), "--login", "--pin", kUserPin, "--write-object",
         pem + ".der", "--type", "cert", "--label", "outside", "--id", "7a"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(card.Certificates().Count(), before);

    // A successful import makes the next listing read the token: both new ones show.
    const P12File file = MakeP12(dir.string(), "secret");
    std::int32_t result = 1;
    card.ImportP12("Obj_77", "Obj_77", SecretText(kUserPin), file.path, SecretText("secret"),
                   &result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(card.Certificates().Count(), before + 2);
    std::vector<std::string> subjects;
    for (const auto& [key, entry] : card.Certificates()) {
        subjects.push_back(entry->Certificate.SubjectName());
    }
    EXPECT_NE(std::find(subjects.begin(), subjects.end(),
                        "CN=" + file.commonName + ", O=Vantor Test, C=IT"),
              subjects.end());
}

TEST_F(ContentsTest, ImportFailuresComeBackAsTheirMessages) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    SmartCardCls& card = Identify();
    const P12File file = MakeP12(dir.string(), "secret");
    const std::string corrupt = (dir / "corrupt.p12").string();
    std::ofstream(corrupt) << "not a PKCS#12 file";
    struct Row {
        const char* what;
        std::string path, password, pin;
        long message;
    } rows[] = {
        {"wrong password", file.path, "other", kUserPin, 1117},
        {"unreadable file", corrupt, "secret", kUserPin, 1117},
        {"missing file", (dir / "missing.p12").string(), "secret", kUserPin, 1118},
        {"wrong PIN", file.path, "secret", "9999", 1101},
    };
    const std::string objectsBefore = ListObjects(card.slotId());
    for (const Row& row : rows) {
        std::int32_t result = 0;
        card.ImportP12("Obj_9", "Obj_9", SecretText(row.pin), row.path, SecretText(row.password),
                       &result);
        EXPECT_EQ(ErrorText(result, OP_IMPORT_P12), LoadMessage(row.message)) << row.what;
    }
    // Nothing was written, and the sessions were cleaned up: a good import still goes through.
    EXPECT_EQ(ListObjects(card.slotId()), objectsBefore);
    std::int32_t result = 1;
    card.ImportP12("Obj_10", "Obj_10", SecretText(kUserPin), file.path, SecretText("secret"),
                   &result);
    EXPECT_EQ(result, 0);
}

TEST_F(ContentsTest, CardInformationShowsTheTokensSerialAndLabel) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    Open();
    RunOther(1);
    ASSERT_EQ(boxes.size(), 1u);
    const std::string& text = boxes[0].text;
    EXPECT_EQ(boxes[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_NE(text.find("\r\nSlotID: " + std::to_string(window->watch().card().slotId()) + "\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Serial Number: 07dc4a4219f1a002\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Label: Vantor FullP11 Token\r\n"), std::string::npos) << text;
    EXPECT_LT(text.find("Serial Number"), text.find("Manufacturer"));
    EXPECT_LT(text.find("Model"), text.find("Label"));
}

TEST_F(ContentsTest, TheImportDialogImportsAndTheListShowsTheNewSubject) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    Open();
    const P12File file = MakeP12(dir.string(), "secret");
    const std::size_t before = ListedSubjects().size();

    // The proposed label is "Obj_" and the counter, which counts up per dialog.
    NextObjectNumber = 41;
    std::string proposed;
    WhenModalShows<ImportP12Dlg>([&proposed](ImportP12Dlg& d) {
        proposed = d.ckaIDEdt->text().toStdString();
        d.findChild<QPushButton*>("cancelButton")->click();
    });
    RunOther(3);
    EXPECT_EQ(proposed, "Obj_41");
    EXPECT_EQ(NextObjectNumber, 42);
    EXPECT_TRUE(boxes.empty()) << "a cancelled import reports nothing";

    ImportThroughDialog("Imported Key", file.path, "secret", kUserPin);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, LoadMessage(1105));
    const std::vector<std::string> subjects = ListedSubjects();
    EXPECT_EQ(subjects.size(), before + 1);
    EXPECT_NE(std::find(subjects.begin(), subjects.end(),
                        "CN=" + file.commonName + ", O=Vantor Test, C=IT"),
              subjects.end());
    const std::string objects = ListObjects(window->watch().card().slotId());
    EXPECT_NE(objects.find("Private Key Object"), std::string::npos) << objects;
    const std::regex underLabel("label: +Imported Key");
    EXPECT_EQ(std::distance(std::sregex_iterator(objects.begin(), objects.end(), underLabel),
                            std::sregex_iterator()),
              2)
        << objects;
}

TEST_F(ContentsTest, TheImportDialogChecksItsFieldsAndNamesAnEmptyLabel) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    Open();
    const P12File file = MakeP12(dir.string(), "");

    // Without a PIN the dialog stays open with message 1108; browsing fills the path.
    QString filter;
    ImportP12Dlg::setFileChooser([&filter, &file](QWidget*, const QString& f) {
        filter = f;
        return std::optional<QString>(QString::fromStdString(file.path));
    });
    std::string label;
    WhenModalShows<ImportP12Dlg>([&](ImportP12Dlg& d) {
        d.findChild<QPushButton*>("browseButton")->click();
        d.ckaIDEdt->clear();
        d.findChild<QPushButton*>("okButton")->click();
        EXPECT_TRUE(d.isVisible());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "Please fill all required fields");
        // The password may stay empty: the file has none.
        d.PinEdt->setText(kUserPin);
        d.findChild<QPushButton*>("okButton")->click();
        label = d.ckaIDEdt->text().toStdString();
    });
    RunOther(3);
    EXPECT_EQ(filter.toStdString(), "PKCS#12 (*.p12 *.pfx);;*.* (*)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(label, m, std::regex("Obj_([0-9]+)"))) << label;
    EXPECT_LT(std::stoi(m[1]), 255);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, LoadMessage(1105));
    // The same text is the objects' label and, as its bytes, their ID.
    const std::string objects = ListObjects(window->watch().card().slotId());
    EXPECT_NE(objects.find("label:      " + label), std::string::npos) << objects;
    EXPECT_NE(objects.find("ID:         " + Hex(label)), std::string::npos) << objects;
}

TEST_F(ContentsTest, AWrongPinThroughTheDialogShowsWrongPin) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    Open();
    const P12File file = MakeP12(dir.string(), "secret");
    ImportThroughDialog("Obj_5", file.path, "secret", "0000");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Wrong PIN");
    EXPECT_EQ(boxes[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
}

TEST_F(ContentsTest, ACertificateObjectWithoutAValueIsListedEmptyAndOpensNothing) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    SmartCardCls& card = Identify();
    // A certificate object with an empty value, written by a PKCS#11 client of its own.
    const std::string script =
        "import PyKCS11,sys\n"
        "l=PyKCS11.PyKCS11Lib();l.load(sys.argv[1])\n"
        "s=l.openSession(int(sys.argv[2]),PyKCS11.CKF_RW_SESSION|PyKCS11.CKF_SERIAL_SESSION)\n"
        "s.login('1234')\n"
        "s.createObject([(PyKCS11.CKA_CLASS,PyKCS11.CKO_CERTIFICATE),(PyKCS11.CKA_TOKEN,True),"
        "(PyKCS11.CKA_CERTIFICATE_TYPE,PyKCS11.CKC_X_509),(PyKCS11.CKA_LABEL,'empty'),"
        "(PyKCS11.CKA_SUBJECT,b'\\x30\\x00'),(PyKCS11.CKA_VALUE,b'')])\n";
    const auto run =
        RunWithModuleEnvironment({"/usr/bin/python3", "-c", script, cardtoken::test::modulePath(),
                                  std::to_string(card.slotId())});
    ASSERT_EQ(run.status, 0) << run.output;
    watch.reset();
    Open();
    // Each row double-clicked in turn; a viewer that opens is closed again and counted.
    int emptyRows = 0;
    std::vector<std::string> viewed;
    WhenModalShows<CertListDialog>([&](CertListDialog& d) {
        for (int i = 0; i < d.list()->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = d.list()->topLevelItem(i);
            const bool empty = row->text(0).isEmpty();
            emptyRows += empty ? 1 : 0;
            EXPECT_EQ(CertListDialog::EntryOf(row)->Certificate.Imported(), !empty);
            QString title;
            QTimer closer;
            closer.setInterval(20);
            QObject::connect(&closer, &QTimer::timeout, [&d, &title, &closer] {
                QWidget* viewer = QApplication::activeModalWidget();
                if (viewer != nullptr && viewer != &d && viewer->isVisible()) {
                    closer.stop();
                    title = viewer->windowTitle();
                    viewer->close();
                }
            });
            closer.start();
            emit d.list()->itemDoubleClicked(row, 0);
            closer.stop();
            viewed.push_back(empty ? "(empty)" : title.toStdString());
        }
        d.findChild<QPushButton*>("closeButton")->click();
    });
    RunOther(0);
    EXPECT_EQ(emptyRows, 1);
    for (const std::string& title : viewed) {
        // Only a row with a certificate opens the viewer; the empty one opens nothing.
        if (title != "(empty)") {
            EXPECT_FALSE(title.empty()) << "a certificate row opened no viewer";
        }
    }
    EXPECT_GE(viewed.size(), 2u);
}

TEST_F(ContentsTest, ASetupProgramThatCannotStartDisablesTheOptionUntilRestart) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    const SetupProgramAside aside(fs::path(ProgramDir()) / "vantorsetup");
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    setenv("PATH", "/usr/bin:/bin", 1);  // no vantorsetup there
    Open();
    ASSERT_TRUE(window->findChild<QRadioButton*>("otherOption2")->isEnabled());
    RunOther(2);
    setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "An error occurred");
    EXPECT_EQ(boxes[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_TRUE(window->setupLaunchFailed());
    EXPECT_FALSE(window->findChild<QRadioButton*>("otherOption2")->isEnabled());
    // Still disabled after the card is taken out and put back.
    ASSERT_TRUE(bench().removeCard(0));
    window->watch().Tick();
    Insert("token-fullp11");
    window->watch().Tick();
    EXPECT_TRUE(window->findChild<QRadioButton*>("otherOption3")->isEnabled());
    EXPECT_FALSE(window->findChild<QRadioButton*>("otherOption2")->isEnabled());
}

TEST_F(ContentsTest, TheSetupProgramBesideTheManagerIsStarted) {
    Insert("token-fullp11");
    WriteAtrTable(kFullP11Atr);
    const fs::path standIn = fs::path(ProgramDir()) / "vantorsetup";
    const SetupProgramAside aside(standIn);
    const fs::path marker = dir / "started";
    {
        std::ofstream out(standIn);
        out << "#!/bin/sh\necho \"$@\" > '" << marker.string() << "'\n";
    }
    fs::permissions(standIn, fs::perms::owner_all);
    Open();
    RunOther(2);
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(marker); }, 10000));
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(window->setupLaunchFailed());
    EXPECT_TRUE(window->findChild<QRadioButton*>("otherOption2")->isEnabled());
}

}  // namespace
}  // namespace tesmira

int main(int argc, char** argv) {
    return tesmira::RunOnBench(argc, argv, "-tesmira-contents");
}
