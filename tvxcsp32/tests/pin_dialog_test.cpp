// The PIN dialog as a user meets it, driven through its widgets (offscreen): the token list,
// empty, wrong and locked PINs, the serial filter, the languages, logins shared between
// contexts, and a presence change beyond the 32nd slot.
#include "fault_fixture.h"

#include <env_guard.h>

#include <QWidget>

#include <cstdlib>

namespace tvxtest {
namespace {

// A card operation that shows the dialog: the certificate of the fault token's key.
struct DialogRun {
    DWORD result;
    DWORD lastCardError;
    int dialogs;
    std::vector<std::string> messages;
};

DialogRun runDialog(DialogDriver& driver, const char* container = kKeyContainer,
                    DWORD forcePin = 0) {
    Context ctx(container, 0);
    EXPECT_TRUE(ctx.ok());
    if (forcePin != 0) {
        ctx.setDword(PP_FORCE_PIN, forcePin);
    }
    const DWORD result = driver.run([&] { return ctx.readCertificate(); });
    EXPECT_TRUE(driver.finished()) << "the dialog ended before every step was done";
    return {result, ctx.lastCardError(), driver.dialogsSeen(), driver.messages()};
}

TEST_F(ProviderFaultTest, TokenCountDecidesTheCombo) {
    struct Case {
        const char* spec;
        int entries;
        bool enabled;
    };
    for (const Case& c :
         {Case{"", 2, true}, Case{"empty=2", 1, false}, Case{"empty=1", 1, false}}) {
        configure(c.spec);
        int entries = -1;
        bool enabled = false;
        DialogDriver driver;
        driver
            .then(inspect([&](QWidget* d) {
                entries = comboCount(d);
                enabled = comboEnabled(d);
                return pinVisible(d);
            }))
            .then(cancel());
        const DialogRun run = runDialog(driver);
        EXPECT_EQ(entries, c.entries) << c.spec;
        EXPECT_EQ(enabled, c.enabled) << c.spec;
        EXPECT_EQ(run.lastCardError, kPinCancelled) << c.spec;
    }
}

TEST_F(ProviderFaultTest, NoTokenAsksForACardAndRefusesAnEmptyPin) {
    configure("empty=1,2");
    QString combo;
    std::string message;
    DialogDriver driver;
    driver
        .then(inspect([&](QWidget* d) {
            combo = comboText(d);
            return pinVisible(d) && !infoVisible(d);
        }))
        .then(clickOk())
        .then(answerMessageBox(&message))
        .then(cancel());
    const DialogRun run = runDialog(driver);
    EXPECT_EQ(combo.toStdString(), "Please Insert a Smart Card.");
    EXPECT_EQ(message, "Wrong PIN. Please retry.");
    EXPECT_EQ(run.result, static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
    EXPECT_EQ(run.lastCardError, kPinCancelled);
}

TEST_F(ProviderFaultTest, WrongPinKeepsTheDialogOpenForAnotherTry) {
    std::string first;
    std::string second;
    DialogDriver driver;
    driver.then(typePinAndOk("0000"))
        .then(answerMessageBox(&first))
        .then(typePinAndOk(""))  // empty: refused before any login
        .then(answerMessageBox(&second))
        .then(typePinAndOk("1234"));
    const DialogRun run = runDialog(driver);
    EXPECT_EQ(first, "Wrong PIN. Please retry.");
    EXPECT_EQ(second, "Wrong PIN. Please retry.");
    EXPECT_EQ(run.lastCardError, 0u);
    EXPECT_EQ(run.dialogs, 1);
}

TEST_F(ProviderFaultTest, LockedPinIsAnnouncedOnceAndClosesTheDialog) {
    configure("fail=C_Login:0xA4");
    std::string message;
    DialogDriver driver;
    driver.then(typePinAndOk("1234")).then(answerMessageBox(&message));
    const DialogRun run = runDialog(driver);
    EXPECT_EQ(message, "PIN is locked.");
    EXPECT_EQ(run.lastCardError, 0xA4u) << "the raw PKCS#11 value of the refused login";
    EXPECT_EQ(run.messages.size(), 1u);
}

TEST_F(ProviderFaultTest, ForeignTokenAsksForAValidCard) {
    configure("serial=1:1111;serial=2:2222");
    bool info = false;
    QString text;
    DialogDriver driver;
    driver
        .then(inspect([&](QWidget* d) {
            info = infoVisible(d) && !pinVisible(d);
            text = infoText(d);
            return comboCount(d) == 1;
        }))
        .then(cancel());
    runDialog(driver, "%01%A5@3333");
    EXPECT_TRUE(info);
    EXPECT_EQ(text.toStdString(), "Insert a valid Smartcard.");

    // The token whose serial matches is the only one listed.
    int entries = 0;
    QString listed;
    DialogDriver matching;
    matching
        .then(inspect([&](QWidget* d) {
            entries = comboCount(d);
            listed = comboText(d);
            return pinVisible(d);
        }))
        .then(cancel());
    runDialog(matching, "%01%A5@2222");
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(listed.trimmed().toStdString(), "Fault slot 2");
}

TEST_F(ProviderFaultTest, TextsFollowTheSystemLanguage) {
    struct Case {
        const char* locale;
        const char* insertCard;
    };
    configure("empty=1,2");
    for (const Case& c :
         {Case{"es_ES.UTF-8", "Introducir la tarjeta en el lector."},
          Case{"it_CH.UTF-8", "Inserire una Smart Card."}, Case{"zh_HK.UTF-8", "請插入一張智能卡"},
          Case{"zh_SG.UTF-8", "请插入一张智能卡"},
          Case{"el_GR.UTF-8", "Παρακαλώ βάλτε την έξυπνη κάρτα."},
          Case{"de_DE.UTF-8", "Please Insert a Smart Card."}}) {
        EnvGuard env({{"LANG", c.locale}});
        QString combo;
        DialogDriver driver;
        driver
            .then(inspect([&](QWidget* d) {
                combo = comboText(d);
                return !combo.isEmpty() && comboCount(d) == 1;
            }))
            .then(cancel());
        runDialog(driver);
        EXPECT_EQ(combo.toStdString(), c.insertCard) << c.locale;
    }
}

TEST_F(ProviderFaultTest, SecondContextBindsWithoutPromptUnlessForced) {
    DialogDriver first;
    first.then(typePinAndOk("1234"));
    Context keep(kKeyContainer, 0);  // its session keeps the token logged in
    ASSERT_TRUE(keep.ok());
    first.run([&] { return keep.readCertificate(); });
    ASSERT_EQ(keep.lastCardError(), 0u);
    ASSERT_EQ(first.dialogsSeen(), 1);

    DialogDriver second;
    const DialogRun again = runDialog(second);
    EXPECT_EQ(again.dialogs, 0);
    EXPECT_EQ(again.lastCardError, 0u);

    DialogDriver forced;
    forced.then(typePinAndOk("1234"));
    const DialogRun withForce = runDialog(forced, kKeyContainer, 1);
    EXPECT_EQ(withForce.dialogs, 1);
    EXPECT_EQ(withForce.lastCardError, 0u);
}

// A token that moves from the first slot to the 33rd: the presence sets differ although a
// mask of 32 bits (slot index mod 32) would look the same.
TEST_F(ProviderFaultTest, PresenceChangeBeyondThe32ndSlotIsSeen) {
    // The first state makes the provider load the module again (it finds it uninitialised);
    // the second keeps it initialised so the open dialog goes on working with it.
    auto emptyExcept = [](int keep, bool preinitialized) {
        std::string list;
        for (int id = 1; id <= 40; ++id) {
            if (id != keep) {
                list += (list.empty() ? "" : ",") + std::to_string(id);
            }
        }
        return std::string(preinitialized ? "preinitialized;" : "") + "slots=40;empty=" + list;
    };
    configure(emptyExcept(1, false));
    QString before;
    QString after;
    DialogDriver driver;
    driver
        .then(inspect([&](QWidget* d) {
            before = comboText(d).trimmed();
            if (before != "Fault slot 1") {
                return false;
            }
            std::string why;
            EXPECT_TRUE(fault_->configure(emptyExcept(33, true), &why)) << why;
            return true;
        }))
        .then(inspect([&](QWidget* d) {
            after = comboText(d).trimmed();
            return after == "Fault slot 33";
        }))
        .then(cancel());
    runDialog(driver);
    EXPECT_EQ(before.toStdString(), "Fault slot 1");
    EXPECT_EQ(after.toStdString(), "Fault slot 33");
}

}  // namespace
}  // namespace tvxtest

namespace tvxtest {
namespace {

// With the reader watch on and PC/SC out of reach, every look reports a change: the dialog ends
// with ERR_READERS_CHANGED at once and BindCard reloads the module and shows it again, 30 times
// at most, then gives up with that code.
TEST_F(ProviderFaultTest, ReaderChangesEndTheDialogAndBindCardRetriesThirtyTimes) {
    const char* old = std::getenv("PCSCLITE_CSOCK_NAME");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1);
    registerProvider("missing-module.so;" + fault_->path(), 1);
    fault_->resetCounts();
    Context ctx(kKeyContainer, 0);
    ASSERT_TRUE(ctx.ok());
    DialogDriver driver;
    driver.run([&] { return ctx.readCertificate(); });
    EXPECT_EQ(ctx.lastCardError(), 22504u);
    // The first load, then one forced reload per retry.
    EXPECT_EQ(fault_->calls("C_Initialize"), 31u);
    registerProvider("missing-module.so;" + fault_->path());
    if (old != nullptr) {
        ::setenv("PCSCLITE_CSOCK_NAME", saved.c_str(), 1);
    } else {
        ::unsetenv("PCSCLITE_CSOCK_NAME");
    }
}

}  // namespace
}  // namespace tvxtest
