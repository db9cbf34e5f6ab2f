// Shared by the setup program's tests: message boxes answered and recorded through the test
// seam, certificates put into the user's "MY" store with their key's provider, and a waiter
// that acts on the next modal window.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTableWidget>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "main_dialog.h"
#include "test_pki.h"
#include "ui/qt_host.h"
#include "win/wincrypt.h"
#include "win/wincrypt_certs.h"

namespace setuptest {

// Every message box the program shows, answered with OK.
class BoxRecorder final {
  public:
    BoxRecorder() {
        vantor::ui::setMessageBoxAnswerer([this](const vantor::ui::MessageBoxRequest& request) {
            boxes.push_back(request);
            return IDOK;
        });
    }
    ~BoxRecorder() { vantor::ui::setMessageBoxAnswerer(nullptr); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    std::vector<vantor::ui::MessageBoxRequest> boxes;
};

// Adds a certificate to the current user's "MY" store, bound to a key container of a provider
// when one is given.
inline void addToMy(const testpki::Bytes& der, const std::string& container = {},
                    const std::string& provider = {}, DWORD keySpec = AT_KEYEXCHANGE) {
    testpki::StorePtr my(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY"));
    ASSERT_TRUE(my);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my.get(), X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_ALWAYS, &added));
    testpki::ContextPtr owned(added);
    if (!container.empty()) {
        std::u16string c(container.begin(), container.end());
        std::u16string p(provider.begin(), provider.end());
        CRYPT_KEY_PROV_INFO info{c.data(), p.data(), PROV_RSA_FULL, 0, 0, nullptr, keySpec};
        ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    }
}

// A self-signed certificate whose enhanced key usage holds the given identifiers.
inline testpki::Bytes certificate(const std::string& commonName, std::vector<std::string> usages,
                                  BYTE serial = 1) {
    testpki::Spec spec("/O=Vantor Test/CN=" + commonName, {serial});
    spec.eku = std::move(usages);
    return testpki::make(spec).der;
}

inline constexpr char kLogonOid[] = "1.3.6.1.4.1.311.20.2.2";
inline constexpr char kClientAuthOid[] = "1.3.6.1.5.5.7.3.2";

// An offscreen QApplication for the test program, made once.
inline QApplication& application() {
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "vantorsetup_test";
        static char* argv[] = {name, nullptr};
        auto* made = new QApplication(argc, argv);
        std::atexit([] { delete qApp; });
        return made;
    }();
    return *app;
}

// Runs action once on the next visible modal window with the object name given; gives up after
// about ten seconds.
inline void whenModalShows(const QString& objectName, std::function<void(QWidget&)> action) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    auto remaining = std::make_shared<int>(500);
    QObject::connect(timer, &QTimer::timeout, [timer, objectName, action, remaining] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog != nullptr && dialog->isVisible() && dialog->objectName() == objectName) {
            timer->stop();
            timer->deleteLater();
            action(*dialog);
        } else if (--*remaining == 0) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

// The rows of a certificate list, as shown.
inline std::vector<std::string> rowsOf(const QTableWidget& list) {
    std::vector<std::string> rows;
    for (int i = 0; i < list.rowCount(); ++i) {
        rows.push_back(list.item(i, 0) != nullptr ? list.item(i, 0)->text().toStdString() : "");
    }
    return rows;
}

// Presses Continue with the smart-logon option checked.
inline void chooseSmartLogon(vantorsetup::MainDialog& dialog) {
    dialog.smartLogonOption()->click();
    dialog.continueButton()->click();
}

}  // namespace setuptest
