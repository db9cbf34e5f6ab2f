// Test support for the card provider: private registry, contexts, and the PIN-dialog driver.
#include "provider_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace tvxtest {
namespace {

const char kProviderKey[] =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Vantor Cryptographic Service Provider";
const char kSettingsKey[] = "SOFTWARE\\TVX-NET\\Vantor\\VantorSetup\\Settings";

template <typename T>
T* child(QWidget* dialog, const char* name) {
    return dialog == nullptr ? nullptr : dialog->findChild<T*>(name);
}

// Clicks from the event loop, not from inside the driver's timer: a click may open a nested
// modal window, and the driver must keep running to answer it.
void clickLater(QAbstractButton* button) {
    QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

}  // namespace

std::string providerImage() {
    return TVXCSP32_IMAGE;
}

std::string csptoolPath() {
    return CSPTOOL_PATH;
}

std::string makePrivateRegistry() {
    char pattern[] = "/tmp/tvxcsp32-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return {};
    }
    setenv("VANTOR_REGISTRY_DIR", pattern, 1);
    setenv("VANTOR_RUNTIME_DIR", pattern, 1);
    return pattern;
}

void registerProvider(const std::string& pkcs11Lib, std::optional<DWORD> detectReaderChanges) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string image = providerImage();
    const DWORD type = PROV_RSA_FULL;
    RegSetValueExA(key, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                   static_cast<DWORD>(image.size() + 1));
    RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
    RegSetValueExA(key, "Pkcs11Lib", 0, REG_SZ, reinterpret_cast<const BYTE*>(pkcs11Lib.c_str()),
                   static_cast<DWORD>(pkcs11Lib.size() + 1));
    if (detectReaderChanges) {
        RegSetValueExA(key, "DetectPCSCReaderChanges", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&*detectReaderChanges), sizeof(DWORD));
    } else {
        RegDeleteValueA(key, "DetectPCSCReaderChanges");
    }
    RegCloseKey(key);
}

void setSlotSetting(DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Slot nr", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

std::optional<DWORD> slotSettingDword() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0, value = 0, size = sizeof value;
    const LSTATUS rc =
        RegQueryValueExA(key, "Slot nr", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD) {
        return std::nullopt;
    }
    return value;
}

Context::Context(const char* container, DWORD flags) {
    if (!CryptAcquireContextA(&handle_, container, kProvider, PROV_RSA_FULL, flags)) {
        error_ = GetLastError();
        handle_ = 0;
    }
}

Context::~Context() {
    if (handle_ != 0) {
        CryptReleaseContext(handle_, 0);
    }
}

std::optional<DWORD> Context::dword(DWORD param) const {
    DWORD value = 0, size = sizeof value;
    if (!CryptGetProvParam(handle_, param, reinterpret_cast<BYTE*>(&value), &size, 0)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> Context::text(DWORD param) const {
    DWORD size = 0;
    if (!CryptGetProvParam(handle_, param, nullptr, &size, 0)) {
        return std::nullopt;
    }
    std::string value(size, '\0');
    if (!CryptGetProvParam(handle_, param, reinterpret_cast<BYTE*>(value.data()), &size, 0)) {
        return std::nullopt;
    }
    value.resize(std::strlen(value.c_str()));
    return value;
}

DWORD Context::setDword(DWORD param, DWORD value) {
    return CryptSetProvParam(handle_, param, reinterpret_cast<const BYTE*>(&value), 0)
               ? 0
               : GetLastError();
}

DWORD Context::setSlotName(const std::string& name) {
    return CryptSetProvParam(handle_, PP_SLOT_NAME, reinterpret_cast<const BYTE*>(name.c_str()), 0)
               ? 0
               : GetLastError();
}

DWORD Context::setSlotIndex(DWORD index) {
    return CryptSetProvParam(handle_, PP_SLOT_INDEX, reinterpret_cast<const BYTE*>(&index), 0)
               ? 0
               : GetLastError();
}

DWORD Context::setPin(const std::string& pin) {
    return CryptSetProvParam(handle_, PP_KEYEXCHANGE_PIN,
                             reinterpret_cast<const BYTE*>(pin.c_str()), 0)
               ? 0
               : GetLastError();
}

DWORD Context::readCertificate(std::vector<BYTE>* der) {
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(handle_, AT_KEYEXCHANGE, &key)) {
        return GetLastError();
    }
    DWORD size = 0;
    DWORD result = 0;
    if (!CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0)) {
        result = GetLastError();
    } else if (der != nullptr) {
        der->resize(size);
        if (!CryptGetKeyParam(key, KP_CERTIFICATE, der->data(), &size, 0)) {
            result = GetLastError();
        }
    }
    CryptDestroyKey(key);
    return result;
}

DialogDriver& DialogDriver::then(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

DWORD DialogDriver::run(const std::function<DWORD()>& call, int timeoutMs) {
    offscreenApplication();
    QTimer timer;
    QElapsedTimer clock;
    clock.start();
    std::set<QWidget*> seen;
    timer.setInterval(50);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) {
            return;
        }
        if (seen.insert(modal).second) {
            if (isPinDialog(modal)) {
                ++dialogsSeen_;
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                messages_.push_back(box->text().toStdString());
            }
        }
        if (clock.elapsed() > timeoutMs) {
            ADD_FAILURE() << "a window was still open after " << timeoutMs << " ms"
                          << (isPinDialog(modal)
                                  ? ": combo \"" + comboText(modal).toStdString() + "\" of " +
                                        std::to_string(comboCount(modal)) +
                                        (pinWritable(modal) ? ", PIN writable" : ", PIN read-only")
                                  : std::string());
            if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            }
            return;
        }
        if (!steps_.empty() && steps_.front()(modal)) {
            steps_.erase(steps_.begin());
        }
    });
    timer.start();
    return call();
}

bool isPinDialog(QWidget* w) {
    return w != nullptr && w->objectName() == "tvxPinDialog";
}

bool isMessageBox(QWidget* w) {
    return qobject_cast<QMessageBox*>(w) != nullptr;
}

DialogDriver::Step typePinAndOk(const std::string& pin) {
    // Types first and clicks on a later look, once the text is still there: a refresh of the
    // token list between the two clears the field, as it would for a user, and the step types
    // again.
    auto typed = std::make_shared<bool>(false);
    return [pin, typed](QWidget* w) {
        auto* edit = child<QLineEdit>(w, "control1005");
        if (!isPinDialog(w) || edit == nullptr || edit->isReadOnly() || !edit->isEnabled()) {
            return false;
        }
        if (*typed && edit->text() == QString::fromStdString(pin)) {
            clickLater(child<QPushButton>(w, "control1"));
            return true;
        }
        edit->setText(QString::fromStdString(pin));
        *typed = true;
        return false;
    };
}

DialogDriver::Step clickOk() {
    return [](QWidget* w) {
        if (!isPinDialog(w)) {
            return false;
        }
        clickLater(child<QPushButton>(w, "control1"));
        return true;
    };
}

DialogDriver::Step cancel() {
    return [](QWidget* w) {
        if (!isPinDialog(w)) {
            return false;
        }
        clickLater(child<QPushButton>(w, "control2"));
        return true;
    };
}

DialogDriver::Step answerMessageBox(std::string* text) {
    return [text](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box == nullptr) {
            return false;
        }
        if (text != nullptr) {
            *text = box->text().toStdString();
        }
        QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
        return true;
    };
}

DialogDriver::Step inspect(std::function<bool(QWidget*)> check) {
    return [check](QWidget* w) { return isPinDialog(w) && check(w); };
}

QString comboText(QWidget* dialog) {
    auto* combo = child<QComboBox>(dialog, "control1004");
    return combo == nullptr ? QString() : combo->currentText();
}

int comboCount(QWidget* dialog) {
    auto* combo = child<QComboBox>(dialog, "control1004");
    return combo == nullptr ? -1 : combo->count();
}

bool comboEnabled(QWidget* dialog) {
    auto* combo = child<QComboBox>(dialog, "control1004");
    return combo != nullptr && combo->isEnabled();
}

bool pinWritable(QWidget* dialog) {
    auto* edit = child<QLineEdit>(dialog, "control1005");
    return edit != nullptr && edit->isEnabled() && !edit->isReadOnly();
}

bool pinVisible(QWidget* dialog) {
    auto* edit = child<QLineEdit>(dialog, "control1005");
    return edit != nullptr && !edit->isHidden();
}

QString infoText(QWidget* dialog) {
    auto* edit = child<QLineEdit>(dialog, "control1007");
    return edit == nullptr ? QString() : edit->text();
}

bool infoVisible(QWidget* dialog) {
    auto* edit = child<QLineEdit>(dialog, "control1007");
    return edit != nullptr && !edit->isHidden();
}

QApplication& offscreenApplication() {
    static QApplication* app = [] {
        // Offscreen unless the caller chose a platform (screenshots run under Xvfb with xcb).
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "tvxcsp32_test";
        static char* argv[] = {name, nullptr};
        auto* made = new QApplication(argc, argv);
        // Gone before Qt's own statics, so that what it holds (fonts) is released at exit.
        std::atexit([] { delete qApp; });
        return made;
    }();
    return *app;
}

}  // namespace tvxtest
