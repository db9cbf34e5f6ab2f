// crvk2plg.so through its exports, as the PKCS#11 module uses it: counts and lock count, request
// kinds and buffers, notify events, languages, the dialogs' checks, ownership and registration.
// The dialogs and boxes are the real Qt widgets (offscreen), answered by ModalScript.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QWidget>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "crvk2plg.h"
#include "env_guard.h"
#include "modal_script.h"
#include "win/libloaderapi.h"
#include "win/winerror.h"
#include "win/winreg.h"

using crvk2plg::test::answerBox;
using crvk2plg::test::cancel;
using crvk2plg::test::fieldText;
using crvk2plg::test::fillAndOk;
using crvk2plg::test::ModalScript;
using crvk2plg::test::Seen;
using crvk2plg::test::Step;

namespace {

using HresultFn = HRESULT (*)();

struct Library {
    HMODULE module = nullptr;
    crvk2GetPluginInterfaceV1Fn getV1 = nullptr;
    crvk2GetPlgV4Fn getV4 = nullptr;
    HresultFn canUnloadNow = nullptr;
    HresultFn registerServer = nullptr;
    HresultFn unregisterServer = nullptr;
};

Library& lib() {
    static Library l = [] {
        Library out;
        out.module = LoadLibraryA("crvk2plg.dll");
        if (out.module == nullptr) {
            return out;
        }
        auto sym = [&](const char* name) { return GetProcAddress(out.module, name); };
        out.getV1 = reinterpret_cast<crvk2GetPluginInterfaceV1Fn>(sym("crvk2GetPluginInterfaceV1"));
        out.getV4 = reinterpret_cast<crvk2GetPlgV4Fn>(sym("crvk2GetPlgV4"));
        out.canUnloadNow = reinterpret_cast<HresultFn>(sym("DllCanUnloadNow"));
        out.registerServer = reinterpret_cast<HresultFn>(sym("DllRegisterServer"));
        out.unregisterServer = reinterpret_cast<HresultFn>(sym("DllUnregisterServer"));
        return out;
    }();
    return l;
}

class Plugin : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "crvk2plg_test";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr) {
            new QApplication(argc, argv);  // lives for the whole test program
        }
        // A host program keeps running when its windows close; so does this one.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void SetUp() override {
        ASSERT_NE(lib().module, nullptr) << "crvk2plg.so not found beside the test program";
        ASSERT_NE(lib().getV4, nullptr);
        plugin_ = lib().getV4();
        ASSERT_NE(plugin_, nullptr);
    }
    void TearDown() override {
        if (plugin_ != nullptr) {
            static_cast<IPinPlugin*>(plugin_)->Release();
        }
    }

    // Runs a request with the dialog answered by `steps`; buffers start filled with 'x'.
    int32_t request(int32_t kind, std::vector<Step> steps, std::string& b1, std::string& b2,
                    std::vector<Seen>* seen = nullptr, uint32_t len1 = 16, uint32_t len2 = 16) {
        b1.assign(len1 + 1, 'x');
        b2.assign(len2 + 1, 'x');
        ModalScript script(std::move(steps));
        int32_t rc = plugin_->Request(kind, b1.data(), len1, b2.data(), len2);
        EXPECT_TRUE(script.allStepsRan()) << "a dialog or box expected by the test did not show";
        EXPECT_EQ(script.unexpected(), 0) << "a window showed that the test did not expect";
        if (seen != nullptr) {
            *seen = script.seen();
        }
        return rc;
    }

    IPinPluginV4* plugin_ = nullptr;
};

const std::string kUntouched(17, 'x');

std::string cstr(const std::string& buffer) {
    return std::string(buffer.c_str());
}

}  // namespace

TEST_F(Plugin, StaticObjectCountNeverGoesBelowZero) {
    IPinPluginV1* v1 = lib().getV1();
    ASSERT_NE(v1, nullptr);
    EXPECT_EQ(lib().getV1(), v1) << "one static object per process";
    // Starting at 0: release refuses, the count stays at 0 (the next AddRef gives 1).
    const struct {
        bool add;
        int32_t expected;
    } steps[] = {{false, -1}, {false, -1}, {true, 1}, {true, 2}, {false, 1},
                 {false, 0},  {false, -1}, {true, 1}, {false, 0}};
    for (const auto& s : steps) {
        EXPECT_EQ(s.add ? v1->AddRef() : v1->Release(), s.expected);
    }
}

TEST_F(Plugin, ModuleLockCountFollowsObjects) {
    // The fixture's object holds one lock.
    EXPECT_EQ(plugin_->LockCount(), 1);
    EXPECT_EQ(lib().canUnloadNow(), S_FALSE);
    IPinPluginV4* second = lib().getV4();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(plugin_->LockCount(), 2);
    EXPECT_EQ(static_cast<IPinPlugin*>(second)->Release(), 0);
    EXPECT_EQ(plugin_->LockCount(), 1);
    EXPECT_EQ(static_cast<IPinPlugin*>(plugin_)->Release(), 0);
    plugin_ = nullptr;
    EXPECT_EQ(lib().canUnloadNow(), S_OK);
}

TEST_F(Plugin, EachInterfacePointerReachesTheSameObject) {
    IPinPluginRequest* request = plugin_;
    IPinPlugin* base = plugin_;
    EXPECT_EQ(base->SetValue(0xDEADBEEF), 0);
    uint8_t a[24] = {}, b[24] = {}, c[24] = {};
    EXPECT_EQ(base->GetKey(a), 0);
    EXPECT_EQ(base->GetKeyAgain(b), 0);
    EXPECT_EQ(lib().getV1()->GetKey(c), 0);
    const uint8_t expected[24] = {0x5E, 0x1A, 0x9C, 0x03, 0xD2, 0x7B, 0x48, 0x6F,
                                  0x0C, 0x93, 0xA1, 0x5E, 0x7D, 0x2B, 0x64, 0xF8,
                                  0x01, 0x9E, 0x3C, 0x57, 0xA2, 0xD6, 0xB4, 0x0F};
    EXPECT_EQ(std::memcmp(a, expected, 24), 0) << "not the card library's built-in key";
    EXPECT_EQ(std::memcmp(b, expected, 24), 0);
    EXPECT_EQ(std::memcmp(c, expected, 24), 0);
    std::string b1(4, 'x');
    EXPECT_EQ(request->Request(7, b1.data(), 4, nullptr, 0), -1);
}

TEST_F(Plugin, UnknownKindsAndMissingBuffersShowNothing) {
    const struct {
        int32_t kind;
        bool nullFirst;
        bool nullSecond;
    } cases[] = {{6, false, false}, {-1, false, false}, {INT_MIN, false, false}, {0, true, false},
                 {3, false, true},  {4, false, true},   {5, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        std::string b1(17, 'x'), b2(17, 'x');
        ModalScript script({});
        EXPECT_EQ(plugin_->Request(c.kind, c.nullFirst ? nullptr : b1.data(), 16,
                                   c.nullSecond ? nullptr : b2.data(), 16),
                  -1);
        EXPECT_TRUE(script.seen().empty()) << "something was shown";
        EXPECT_EQ(b1, kUntouched);
        EXPECT_EQ(b2, kUntouched);
    }
}

TEST_F(Plugin, ConfirmedRequestsFillTheirBuffers) {
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    const struct {
        int32_t kind;
        std::vector<std::pair<const char*, QString>> fields;
        std::string first;
        std::string second;  // kUntouched: left alone
    } cases[] = {
        {0, {{"201", "1234"}}, "1234", kUntouched},
        {2, {{"201", "pïn"}}, "pïn", kUntouched},
        {3, {{"203", "87654321"}, {"204", "5555"}, {"205", "5555"}}, "5555", "87654321"},
        {4, {{"210", "1234"}, {"211", "4321"}, {"214", "4321"}}, "4321", "1234"},
        {5,
         {{"210", "11112222"}, {"211", "33334444"}, {"214", "33334444"}},
         "33334444",
         "11112222"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        std::string b1, b2;
        ASSERT_EQ(request(c.kind, {fillAndOk(c.fields)}, b1, b2), 0);
        EXPECT_EQ(cstr(b1), c.first);
        // The rest of the buffer is zero-filled up to its stated length, the byte past it kept.
        EXPECT_EQ(b1[16], 'x');
        EXPECT_EQ(c.second == kUntouched ? b2 : cstr(b2), c.second);
    }
}

TEST_F(Plugin, CancelLeavesBuffersUntouched) {
    for (int32_t kind : {0, 1, 2, 3, 4, 5}) {
        SCOPED_TRACE(kind);
        std::string b1, b2;
        Step typeThenCancel = [](QWidget* w) {
            for (QLineEdit* e : w->findChildren<QLineEdit*>()) {
                e->setText("9999");
            }
            cancel()(w);
        };
        EXPECT_EQ(request(kind, {typeThenCancel}, b1, b2), -1);
        EXPECT_EQ(b1, kUntouched);
        EXPECT_EQ(b2, kUntouched);
    }
    // The close box (reject) is a cancel too.
    std::string b1, b2;
    EXPECT_EQ(request(0, {[](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); }}, b1, b2), -1);
    EXPECT_EQ(b1, kUntouched);
}

TEST_F(Plugin, CopiesAreBoundedAndUnterminatedAtTheLimit) {
    const struct {
        QString typed;
        uint32_t length;
        std::string expected;  // the buffer's bytes up to and including the guard byte
    } cases[] = {
        {"12345678", 8, std::string("12345678") + "x"},  // exactly the length: no terminator
        {"123456789", 8, std::string("12345678") + "x"},
        {"1234", 8, std::string("1234\0\0\0\0", 8) + "x"},
        {"1234", 0, "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        std::string b1, b2;
        ASSERT_EQ(request(0, {fillAndOk({{"201", c.typed}})}, b1, b2, nullptr, c.length), 0);
        EXPECT_EQ(b1.substr(0, c.length + 1), c.expected);
    }
}

TEST_F(Plugin, FieldsTakeAtMost1024Characters) {
    const QString typed(1500, QChar('7'));
    std::string b1, b2;
    Step fill = [&](QWidget* w) {
        auto* edit = w->findChild<QLineEdit*>("201");
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->maxLength(), 1024);
        edit->setText(typed);
        crvk2plg::test::click(w, "1");
    };
    ASSERT_EQ(request(0, {fill}, b1, b2, nullptr, 2000), 0);
    EXPECT_EQ(cstr(b1), std::string(1024, '7'));
}

TEST_F(Plugin, TextsFollowTheSystemLanguage) {
    const struct {
        const char* locale;
        const char* caption;
        const char* prompt;
        const char* cancelButton;
        const char* doneText;
    } cases[] = {
        {"de_DE.UTF-8", "Please enter the Smartcard's PIN", "Please enter Enhanced Signature PIN",
         "Cancel", "Operation successfully completed"},
        {"en_GB.UTF-8", "Please enter the Smartcard's PIN", "Please enter Enhanced Signature PIN",
         "Cancel", "Operation successfully completed"},
        {"it_IT.UTF-8", "Inserisci PIN SmartCard",
         "Inserisci il PIN per la Firma Avanzata:", "Annulla", "Operazione conclusa con successo"},
        {"it_CH.UTF-8", "Inserisci PIN SmartCard",
         "Inserisci il PIN per la Firma Avanzata:", "Annulla", "Operazione conclusa con successo"},
        {"es_ES.UTF-8", "Please enter the Smartcard's PIN", "Please enter Enhanced Signature PIN",
         "Cancel", "Operation successfully completed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        EnvGuard env({{"LANG", c.locale}});
        std::string b1, b2;
        std::string cancelText;
        std::vector<Seen> seen;
        Step look = [&](QWidget* w) {
            if (auto* b = w->findChild<QPushButton*>("2")) {
                cancelText = b->text().toStdString();
            }
            cancel()(w);
        };
        EXPECT_EQ(request(0, {look}, b1, b2, &seen), -1);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].title, c.caption);
        EXPECT_EQ(seen[0].text, c.prompt);
        EXPECT_EQ(cancelText, c.cancelButton);

        ModalScript script({answerBox(QMessageBox::Ok)});
        EXPECT_EQ(plugin_->Notify(0), 0);
        ASSERT_EQ(script.seen().size(), 1u);
        EXPECT_EQ(script.seen()[0].text, c.doneText);
    }
}

TEST_F(Plugin, NotifyEventsShowTheirBoxes) {
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    using B = QMessageBox;
    const struct {
        int32_t event;
        B::StandardButton answer;
        int32_t result;
        const char* text;
        const char* caption;
        B::Icon icon;
        B::StandardButtons buttons;
    } cases[] = {
        {0, B::Ok, 0, "Operation successfully completed", "Information", B::Information, B::Ok},
        {1, B::Ok, 0, "Operation failed", "Error", B::Warning, B::Ok},
        {8, B::Yes, 1, "PIN incorrect.\r\nDo you want retry?", "Enhanced Signature", B::Warning,
         B::Yes | B::No},
        {8, B::No, 0, "PIN incorrect.\r\nDo you want retry?", "Enhanced Signature", B::Warning,
         B::Yes | B::No},
        {9, B::Ok, 0, "Smartcard locked", "Error", B::Warning, B::Ok},
        {10, B::Ok, 0, "Smartcard not initialized", "Enhanced Signature", B::Warning, B::Ok},
        {16, B::Yes, 1, "PUK incorrect.\r\nDo you want retry?", "Enhanced Signature", B::Warning,
         B::Yes | B::No},
        {17, B::Ok, 0, "PUK locked", "Error", B::Warning, B::Ok},
        {24, B::Ok, 1, "Please confirm signature operation", "Enhanced Signature", B::Question,
         B::Ok | B::Cancel},
        {24, B::Cancel, 0, "Please confirm signature operation", "Enhanced Signature", B::Question,
         B::Ok | B::Cancel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        ModalScript script({answerBox(c.answer)});
        EXPECT_EQ(plugin_->Notify(c.event), c.result);
        ASSERT_EQ(script.seen().size(), 1u);
        const Seen& s = script.seen()[0];
        EXPECT_EQ(s.className, "QMessageBox");
        EXPECT_EQ(s.text, c.text);
        EXPECT_EQ(s.title, c.caption);
        EXPECT_EQ(s.icon, c.icon);
        EXPECT_EQ(s.buttons, c.buttons);
    }
    for (int32_t quiet : {2, 3, 7, 25, -1}) {
        SCOPED_TRACE(quiet);
        ModalScript script({});
        EXPECT_EQ(plugin_->Notify(quiet), 0);
        EXPECT_TRUE(script.seen().empty());
    }
    // The older interface's retry question is event 8's box.
    ModalScript script({answerBox(QMessageBox::Yes)});
    EXPECT_EQ(lib().getV1()->AskRetry(), 1);
    ASSERT_EQ(script.seen().size(), 1u);
    EXPECT_EQ(script.seen()[0].text, "PIN incorrect.\r\nDo you want retry?");
}

TEST_F(Plugin, ChangeDialogChecksInOrder) {
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    std::string b1, b2;
    std::vector<Seen> seen;
    // Deep copies: a QString sharing the field's buffer would see the dialog's wipe.
    std::string oldAfterMismatch, newAfterMismatch, repeatAfterMismatch;
    std::vector<Step> steps = {
        // Empty old PIN, whatever the other fields hold.
        fillAndOk({{"210", ""}, {"211", "1111"}, {"214", "2222"}}),
        answerBox(QMessageBox::Ok),
        // Back in the dialog: old PIN given, new values differ.
        fillAndOk({{"210", "0000"}, {"211", "1111"}, {"214", "1112"}}),
        answerBox(QMessageBox::Ok),
        [&](QWidget* w) {
            oldAfterMismatch = fieldText(w, "210").toStdString();
            newAfterMismatch = fieldText(w, "211").toStdString();
            repeatAfterMismatch = fieldText(w, "214").toStdString();
            crvk2plg::test::click(w, "1");  // now the new value is empty
        },
        answerBox(QMessageBox::Ok),
        fillAndOk({{"211", "Abc1"}, {"214", "abc1"}}),  // differs only in case
        answerBox(QMessageBox::Ok),
        fillAndOk({{"211", "Abc1"}, {"214", "Abc1"}}),
    };
    ASSERT_EQ(request(4, steps, b1, b2, &seen), 0);
    EXPECT_EQ(cstr(b1), "Abc1");
    EXPECT_EQ(cstr(b2), "0000");
    EXPECT_EQ(oldAfterMismatch, "0000");
    EXPECT_EQ(newAfterMismatch, "");
    EXPECT_EQ(repeatAfterMismatch, "");
    ASSERT_EQ(seen.size(), 9u);
    const struct {
        std::size_t index;
        const char* text;
        const char* focusAfter;  // focus in the dialog when it comes back
    } boxes[] = {{1, "PIN can't be blank", "210"},
                 {3, "New PIN has been re-typed differently", "211"},
                 {5, "New PIN can't be blank", "211"},
                 {7, "New PIN has been re-typed differently", "211"}};
    for (const auto& b : boxes) {
        SCOPED_TRACE(b.text);
        EXPECT_EQ(seen[b.index].text, b.text);
        EXPECT_EQ(seen[b.index].title, "Enhanced Signature");
        EXPECT_EQ(seen[b.index].icon, QMessageBox::Warning);
        EXPECT_EQ(seen[b.index + 1].focus, b.focusAfter);
    }
    EXPECT_EQ(seen[0].title, "Changing Enhanced Signature PIN");
    EXPECT_EQ(seen[0].focus, "210") << "the first field has the focus at start-up";
}

TEST_F(Plugin, EachDialogNamesItsOwnFailures) {
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    const struct {
        int32_t kind;
        std::vector<std::pair<const char*, QString>> fields;
        const char* title;
        const char* message;
    } cases[] = {
        {0, {{"201", ""}}, "Please enter the Smartcard's PIN", "PIN can't be blank"},
        {3, {{"203", ""}}, "Unlocking Enhanced Signature PIN", "PUK can't be blank"},
        {3,
         {{"203", "1"}, {"204", ""}},
         "Unlocking Enhanced Signature PIN",
         "New PIN can't be blank"},
        {3,
         {{"203", "1"}, {"204", "2"}, {"205", "3"}},
         "Unlocking Enhanced Signature PIN",
         "New PIN has been re-typed differently"},
        {5, {{"210", ""}}, "Changing Enhanced Signature PUK", "PUK can't be blank"},
        {5,
         {{"210", "1"}, {"211", ""}},
         "Changing Enhanced Signature PUK",
         "New PUK can't be blank"},
        {5,
         {{"210", "1"}, {"211", "2"}, {"214", "3"}},
         "Changing Enhanced Signature PUK",
         "New PUK has been re-typed differently"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::string b1, b2;
        std::vector<Seen> seen;
        EXPECT_EQ(request(c.kind, {fillAndOk(c.fields), answerBox(QMessageBox::Ok), cancel()}, b1,
                          b2, &seen),
                  -1);
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].title, c.title);
        EXPECT_EQ(seen[1].text, c.message);
        EXPECT_EQ(seen[1].title, "Enhanced Signature");
        EXPECT_EQ(seen[1].parent, seen[0].self) << "the dialog owns its message boxes";
        EXPECT_EQ(b1, kUntouched);
        EXPECT_EQ(b2, kUntouched);
    }
}

TEST_F(Plugin, DialogsAndBoxesBelongToTheCallersWindow) {
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    QWidget hidden;
    QWidget visible;
    visible.setWindowTitle("caller");
    visible.show();
    visible.setGeometry(100, 120, 500, 300);
    QWidget* owner = nullptr;
    std::string b1, b2;
    Step note = [&](QWidget* w) {
        owner = w->parentWidget();
        cancel()(w);
    };
    std::vector<Seen> seen;
    EXPECT_EQ(request(0, {note}, b1, b2, &seen), -1);
    EXPECT_EQ(owner, &visible) << "the first visible top-level window owns the dialog";
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_LE((seen[0].geometry.center() - visible.frameGeometry().center()).manhattanLength(), 2)
        << "centred over its owner: " << seen[0].geometry.x() << "," << seen[0].geometry.y() << " "
        << visible.frameGeometry().x() << "," << visible.frameGeometry().y() << " "
        << visible.frameGeometry().width() << "x" << visible.frameGeometry().height();

    // An owner hanging off the screen: the dialog stays inside the work area.
    const QRect area = visible.screen()->availableGeometry();
    visible.move(area.right() - 60, area.bottom() - 40);
    EXPECT_EQ(request(4, {cancel()}, b1, b2, &seen), -1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(area.contains(seen[0].geometry))
        << "placed outside the work area: " << seen[0].geometry.x() << "," << seen[0].geometry.y()
        << " " << seen[0].geometry.width() << "x" << seen[0].geometry.height() << " in "
        << area.width() << "x" << area.height();

    {
        ModalScript script({[&](QWidget* w) {
            owner = w->parentWidget();
            answerBox(QMessageBox::Ok)(w);
        }});
        plugin_->Notify(1);
        EXPECT_EQ(owner, &visible) << "the message box belongs to the caller's window too";
    }

    visible.hide();
    owner = &hidden;
    EXPECT_EQ(request(0, {note}, b1, b2), -1);
    EXPECT_EQ(owner, nullptr) << "no visible window: the dialog has no owner";
}

TEST_F(Plugin, RegistrationWritesTheTypeLibraryOnly) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("crvk2plg_reg_" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    setenv(VANTOR_REGISTRY_DIR_ENV, dir.c_str(), 1);
    auto classesRootKeys = [] {
        std::vector<std::string> names;
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof(name);
            if (RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name, &size, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS) {
                break;
            }
            names.emplace_back(name, size);
        }
        return names;
    };
    const std::vector<std::string> before = classesRootKeys();
    ASSERT_EQ(lib().registerServer(), S_OK);
    std::vector<std::string> after = classesRootKeys();
    EXPECT_EQ(after.size(),
              before.size() + (std::count(before.begin(), before.end(), "TypeLib") ? 0 : 1));
    EXPECT_TRUE(std::count(after.begin(), after.end(), "TypeLib"));
    for (const char* other : {"CLSID", "AppID", "Interface"}) {
        EXPECT_FALSE(std::count(after.begin(), after.end(), other) &&
                     !std::count(before.begin(), before.end(), other))
            << other << " written";
    }
    HKEY key = nullptr;
    const char* libKey = "TypeLib\\{6B0E3F52-9A1C-4D7E-B8F3-2C5A7D9E1F40}\\1.0";
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, libKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char value[64] = {};
    DWORD size = sizeof(value) - 1;
    EXPECT_EQ(
        RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_STREQ(value, "crvk2plg 1.0 Type Library");
    EXPECT_EQ(lib().unregisterServer(), S_OK);
    EXPECT_NE(RegOpenKeyExA(HKEY_CLASSES_ROOT, libKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(lib().unregisterServer(), S_OK) << "unregistering twice is not a failure";
    unsetenv(VANTOR_REGISTRY_DIR_ENV);
    std::filesystem::remove_all(dir);
}

TEST_F(Plugin, AnotherThreadOfAQtProgramIsRefusedNotCrashed) {
    // Widgets live on the application's thread only: a call from elsewhere shows nothing and
    // answers as cancelled.
    int32_t requestRc = 0, notifyRc = 1, retryRc = 1;
    std::string b1(17, 'x'), b2(17, 'x');
    ModalScript script({});
    std::thread other([&] {
        requestRc = plugin_->Request(0, b1.data(), 16, b2.data(), 16);
        notifyRc = plugin_->Notify(24);
        retryRc = lib().getV1()->AskRetry();
    });
    other.join();
    EXPECT_EQ(requestRc, -1);
    EXPECT_EQ(notifyRc, 0);
    EXPECT_EQ(retryRc, 0);
    EXPECT_EQ(b1, kUntouched);
    EXPECT_TRUE(script.seen().empty());
}
