// The main window offscreen on the card bench: virtual cards in the readers, cardolo.so bound by
// name, pavlox.so registered in a private registry, cardtoken.so as the PKCS#11 library the ATR
// table names, and message boxes pre-answered through the platform's seam.
#include <gtest/gtest.h>

// Before Qt, whose "slots" keyword would rewrite the client's member of that name.
#include "cardtoken_client.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
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
#include "import_p12_dlg.h"
#include "main_window.h"
#include "registry_sandbox.h"
#include "settings_store.h"
#include "ui/qt_host.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"
#include "window_position.h"

namespace tesmira {
namespace {

constexpr const char* kCnsAtr = "3B8801564E5452544B4332F9";
constexpr const char* kFullP11Atr = "3B8801564E5452544B4638F6";
constexpr const char* kPinInitAtr = "3B8801564E5452544B504991";
constexpr const char* kFullMask = "FFFFFFFFFFFFFFFFFFFFFFFF";

constexpr const char* kM4Atr = "3B8801564E5452544B4D34F1";

// Writes the ATR table as the installation would: one character per entry, each entry's values
// prefixed by it; every entry names cardtoken.so (or the library given) with registry type 1.
void WriteAtrTable(const std::vector<std::string>& atrs,
                   const std::vector<std::string>& libraries = {}) {
    SettingsStore settings;
    std::string list;
    char key = 'a';
    for (const std::string& atr : atrs) {
        const std::string k(1, key);
        settings.save("ATRs", k + "-atr", atr);
        settings.save("ATRs", k + "-atrMask", std::string(kFullMask).substr(0, atr.size()));
        const std::size_t n = static_cast<std::size_t>(key - 'a');
        settings.save("ATRs", k + "-P11",
                      n < libraries.size() ? libraries[n] : cardtoken::test::modulePath());
        settings.save("ATRs", k + "-name", "bench card " + k);
        settings.save("ATRs", k + "-type", "1");
        list += key++;
    }
    settings.save("ATRs", "list", list);
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

// pcscd keeps the readers of its configuration, so the reader list changes one layer up: a test
// library with the card library's exports forwards to cardolo.so and scripts the list (a reader
// added after the real ones, or no reader at all).
class ScriptedReaders {
  public:
    ScriptedReaders() : module_(LoadLibraryA("tesmira_scripted_cardolo.dll")) {
        if (module_ != nullptr) {
            extra_ =
                ProcAs<void (*)(int)>(GetProcAddress(module_, "ScriptedCardolo_SetExtraReader"));
            none_ = ProcAs<void (*)(int)>(GetProcAddress(module_, "ScriptedCardolo_SetNoReaders"));
        }
    }
    ~ScriptedReaders() {
        if (ok()) {
            extra_(0);
            none_(0);
        }
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    bool ok() const { return extra_ != nullptr && none_ != nullptr; }
    void extraReader(bool on) { extra_(on ? 1 : 0); }
    void noReaders(bool on) { none_(on ? 1 : 0); }
    CardoloLibrary library{"tesmira_scripted_cardolo.dll"};

  private:
    HMODULE module_;
    void (*extra_)(int) = nullptr;
    void (*none_)(int) = nullptr;
};

class MainWindowTest : public vantor::bench::CardBenchTest {
  protected:
    void SetUp() override {
        CardBenchTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        vantor::ui::setMessageBoxAnswerer([this](const vantor::ui::MessageBoxRequest& request) {
            boxes.push_back(request);
            return answer;
        });
    }
    void TearDown() override {
        window.reset();
        scripted.reset();
        vantor::ui::setMessageBoxAnswerer(nullptr);
        CardBenchTest::TearDown();
    }

    // Reads the ATR table and opens the window, which runs its start-up tick.
    MainWindow& Open(CardoloLibrary& cardolo = Cardolo()) {
        window.reset();
        table = std::make_unique<AtrTable>(LoadAtrTable(settings));
        window = std::make_unique<MainWindow>(cardolo, *table, settings);
        return *window;
    }

    template <typename T>
    T* Child(const char* name) {
        T* child = window->findChild<T*>(name);
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    QString CardText() { return Child<QLabel>("cardLabel")->text(); }
    // "E" for an enabled option, "e" enabled and checked, "-" disabled, per option in order.
    std::string Options(const char* prefix, int count) {
        std::string out;
        for (int i = 0; i < count; ++i) {
            auto* option = Child<QRadioButton>((prefix + std::to_string(i)).c_str());
            out += !option->isEnabled() ? '-' : option->isChecked() ? 'e' : 'E';
        }
        return out;
    }
    void ExpectNoCardState() {
        EXPECT_EQ(CardText(), "Please insert a SmartCard");
        EXPECT_EQ(Options("pinOption", 3), "---");
        EXPECT_EQ(Options("otherOption", 4), "----");
        EXPECT_FALSE(Child<QPushButton>("pinNext")->isEnabled());
        EXPECT_FALSE(Child<QPushButton>("otherNext")->isEnabled());
        EXPECT_FALSE(Child<QLabel>("emptyReaderPicture")->isHidden());
        EXPECT_TRUE(Child<QLabel>("cardReaderPicture")->isHidden());
    }
    void Insert(const std::string& scenario, int slot = 0) {
        std::string error;
        ASSERT_TRUE(bench().insertCard(scenario, slot, {}, &error)) << error;
    }

    SettingsStore settings;
    std::unique_ptr<AtrTable> table;
    std::unique_ptr<ScriptedReaders> scripted;  // outlives the window that binds it
    std::unique_ptr<MainWindow> window;
    std::vector<vantor::ui::MessageBoxRequest> boxes;
    int answer = IDOK;
};

TEST_F(MainWindowTest, WithoutACardEveryOptionIsDisabled) {
    WriteAtrTable({kCnsAtr});
    MainWindow& w = Open();
    ExpectNoCardState();
    EXPECT_EQ(w.windowTitle(), "Quorin Control Center");
    EXPECT_EQ(Child<QLabel>("statusPanel")->text(), "Quorin Control Center");
    EXPECT_TRUE(w.readerTimer().isActive());
    EXPECT_EQ(w.readerTimer().interval(), kPollingIntervalMs);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindowTest, ACnsCardIsIdentifiedWithItsReaderAndEveryOption) {
    WriteAtrTable({kFullP11Atr, kCnsAtr});
    Insert("token-cns", 0);
    MainWindow& w = Open();
    SmartCardCls& card = w.watch().card();
    EXPECT_EQ(card.smartCardType(), 2);  // registry type 1, file system with signature DF
    EXPECT_EQ(card.slotId(), bench().readerIndex(0));
    EXPECT_EQ(card.SlotName(), "Virtual PCD 00 00");
    EXPECT_EQ(CardText(), "Type: Vantor CNS/Kryptelle EAL4+\nReader: Virtual PCD 00 00");
    EXPECT_EQ(Options("pinOption", 3), "eEE");
    EXPECT_EQ(Options("otherOption", 4), "eEEE");
    EXPECT_TRUE(Child<QPushButton>("pinNext")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>("otherNext")->isEnabled());
    EXPECT_TRUE(Child<QLabel>("emptyReaderPicture")->isHidden());
    EXPECT_FALSE(Child<QLabel>("cardReaderPicture")->isHidden());
    EXPECT_TRUE(card.Valid());
}

TEST_F(MainWindowTest, AnUnknownAtrIsTheGenericTypeWithChangePinOnly) {
    // The card's ATR is not in the table: type 0, served by the default library name, which the
    // test's library path resolves to cardtoken.so as well.
    WriteAtrTable({kCnsAtr});
    Insert("token-m4", 0);
    MainWindow& w = Open();
    EXPECT_EQ(w.watch().card().smartCardType(), 0);
    EXPECT_EQ(CardText(), "Type: Vantor Kryptelle\nReader: Virtual PCD 00 00");
    EXPECT_EQ(Options("pinOption", 3), "e--");
    // Contents and information from the type; smart logon and import are always offered.
    EXPECT_EQ(Options("otherOption", 4), "eEEE");
}

TEST_F(MainWindowTest, TwoReadersWithCardsUseTheLowerIndex) {
    WriteAtrTable({kCnsAtr, kFullP11Atr});
    Insert("token-fullp11", 1);
    Insert("token-cns", 0);
    MainWindow& w = Open();
    EXPECT_EQ(w.watch().card().slotId(), bench().readerIndex(0));
    EXPECT_EQ(w.watch().card().smartCardType(), 2);

    // With the lower reader emptied, the next tick finds the other card (type 8 from file
    // system 4).
    ASSERT_TRUE(bench().removeCard(0));
    w.watch().Tick();
    EXPECT_EQ(w.watch().card().slotId(), bench().readerIndex(1));
    EXPECT_EQ(w.watch().card().smartCardType(), 8);
    EXPECT_EQ(CardText(), "Type: Vantor Kryptelle (FullP11-FFS)\nReader: Virtual PCD 00 01");
}

TEST_F(MainWindowTest, AReaderWhoseLibraryIsNotLoadedIsSkippedForTheNext) {
    // The first card's ATR names a library that does not load: its identification fails after
    // connecting, and the connection is given back before the next reader's card is connected
    // (the sanitizer build's leak check sees a connection record left behind).
    WriteAtrTable({kM4Atr, kCnsAtr}, {"tesmira-no-such-pkcs11.so"});
    Insert("token-m4", 0);
    Insert("token-cns", 1);
    MainWindow& w = Open();
    EXPECT_EQ(w.watch().card().slotId(), bench().readerIndex(1));
    EXPECT_EQ(w.watch().card().smartCardType(), 2);
    EXPECT_EQ(CardText(), "Type: Vantor CNS/Kryptelle EAL4+\nReader: Virtual PCD 00 01");
}

TEST_F(MainWindowTest, RemovingTheCardReturnsToTheNoCardStateOnTheNextTick) {
    WriteAtrTable({kCnsAtr});
    Insert("token-cns", 0);
    MainWindow& w = Open();
    ASSERT_EQ(w.watch().card().smartCardType(), 2);
    ASSERT_TRUE(bench().removeCard(0));
    w.watch().Tick();
    ExpectNoCardState();
    EXPECT_FALSE(w.watch().card().Valid());
}

TEST_F(MainWindowTest, TheTimerFindsACardOnlyWhilePollingIsResumed) {
    WriteAtrTable({kCnsAtr});
    MainWindow& w = Open();
    w.SuspendPolling();
    Insert("token-cns", 0);
    // Two polling periods with the timer suspended: nothing changes.
    WaitUntil([] { return false; }, 2 * kPollingIntervalMs);
    ExpectNoCardState();
    w.ResumePolling();
    EXPECT_TRUE(WaitUntil([&] { return w.watch().card().smartCardType() == 2; },
                          kPollingIntervalMs + 8000));
    EXPECT_EQ(CardText(), "Type: Vantor CNS/Kryptelle EAL4+\nReader: Virtual PCD 00 00");
}

TEST_F(MainWindowTest, ATokenNeedingPinInitialisationIsAskedAboutOncePerInsertion) {
    WriteAtrTable({kPinInitAtr});
    const std::string card = std::string(TESMIRA_TEST_CARDS) + "/pininit-cns2.card";
    Insert(card, 0);
    answer = IDNO;
    MainWindow& w = Open();
    // At start-up the token is passed over without a question.
    EXPECT_TRUE(boxes.empty());
    ExpectNoCardState();

    w.watch().Tick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "The PIN has not yet been initialized. Do you wish to initialize it right now?");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(w.watch().card().smartCardType(), 2);
    w.watch().Tick();
    w.watch().Tick();
    EXPECT_EQ(boxes.size(), 1u) << "asked once for this insertion";

    ASSERT_TRUE(bench().removeCard(0));
    w.watch().Tick();
    ExpectNoCardState();
    Insert(card, 0);
    w.watch().Tick();
    EXPECT_EQ(boxes.size(), 2u) << "asked again after the card came back";
}

TEST_F(MainWindowTest, WithoutAnyReaderEveryOptionIsDisabledUntilOneAppears) {
    scripted = std::make_unique<ScriptedReaders>();
    ScriptedReaders& readers = *scripted;
    ASSERT_TRUE(readers.ok());
    readers.noReaders(true);
    WriteAtrTable({kCnsAtr});
    Insert("token-cns", 0);
    MainWindow& w = Open(readers.library);
    ExpectNoCardState();
    EXPECT_EQ(w.watch().libraryReloads(), 0);
    readers.noReaders(false);
    w.watch().Tick();
    EXPECT_EQ(w.watch().card().smartCardType(), 2);
    EXPECT_EQ(w.watch().libraryReloads(), 1);
}

TEST_F(MainWindowTest, AChangedReaderListReloadsTheLibrariesAndIdentifiesTheCardAgain) {
    scripted = std::make_unique<ScriptedReaders>();
    ScriptedReaders& readers = *scripted;
    ASSERT_TRUE(readers.ok());
    WriteAtrTable({kCnsAtr});
    Insert("token-cns", 0);
    MainWindow& w = Open(readers.library);
    ASSERT_EQ(w.watch().card().smartCardType(), 2);
    EXPECT_EQ(w.watch().libraryReloads(), 1);
    const Pkcs11Lib before = w.watch().card().P11();

    w.watch().Tick();
    EXPECT_EQ(w.watch().libraryReloads(), 1) << "same list, same libraries";

    readers.extraReader(true);
    w.watch().Tick();
    EXPECT_EQ(w.watch().libraryReloads(), 2);
    EXPECT_NE(w.watch().lastReaderList().find("Scripted Reader 00"), std::string::npos);
    EXPECT_EQ(w.watch().card().smartCardType(), 2) << "the unchanged card identified again";
    EXPECT_NE(w.watch().card().P11().get(), before.get()) << "through a newly loaded library";

    readers.extraReader(false);
    w.watch().Tick();
    EXPECT_EQ(w.watch().libraryReloads(), 3);
}

TEST_F(MainWindowTest, ThePanelsReportWhatTheirOperationsAnswer) {
    // A card of the generic type, which unblocks nothing: the answer comes without a dialog.
    WriteAtrTable({kCnsAtr});
    Insert("token-m4", 0);
    MainWindow& w = Open();
    ASSERT_EQ(w.watch().card().smartCardType(), 0);

    Child<QRadioButton>("pinOption1")->setChecked(true);
    Child<QPushButton>("pinNext")->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The requested function is not supported");
    EXPECT_EQ(boxes[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_TRUE(w.readerTimer().isActive()) << "polling resumed after the operation";

    // The import opens its dialog; cancelled, it reports nothing.
    bool dialogShown = false;
    QTimer::singleShot(0, [&dialogShown] {
        if (auto* d = qobject_cast<ImportP12Dlg*>(QApplication::activeModalWidget())) {
            dialogShown = true;
            d->findChild<QPushButton*>("cancelButton")->click();
        }
    });
    Child<QRadioButton>("otherOption3")->setChecked(true);
    Child<QPushButton>("otherNext")->click();
    EXPECT_TRUE(dialogShown);
    ASSERT_EQ(boxes.size(), 1u);

    // The other-functions panel does nothing for a card that has gone.
    ASSERT_TRUE(bench().removeCard(0));
    Child<QPushButton>("otherNext")->click();
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(MainWindowTest, ClosingStoresThePositionTheNextStartOpensAt) {
    WriteAtrTable({});
    MainWindow& w = Open();
    w.show();
    w.move(210, 135);
    ASSERT_TRUE(WaitUntil([&] { return w.pos() == QPoint(210, 135); }, 2000));
    const QPoint place = w.frameGeometry().topLeft();
    Child<QPushButton>("exitButton")->click();  // Exit closes the window
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(settings.get("Settings", "MainLeft"), FormatSingle(place.x() * kTwipsPerPixel));
    EXPECT_EQ(settings.get("Settings", "MainTop"), FormatSingle(place.y() * kTwipsPerPixel));
    MainWindow& again = Open();
    EXPECT_EQ(again.pos(), place);
}

}  // namespace
}  // namespace tesmira

int main(int argc, char** argv) {
    return tesmira::RunOnBench(argc, argv, "-tesmira");
}
