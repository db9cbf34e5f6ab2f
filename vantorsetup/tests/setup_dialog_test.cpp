// The setup program's dialogs offscreen, driven through their widgets: texts in the six
// languages, the smart-logon choice with no certificate, with a certificate of the software
// provider and with one bound to no key, OK without a selection, the viewer, Cancel and Exit.
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "certificate_dialog.h"
#include "setup_messages.h"
#include "setup_support.h"
#include "smart_logon_setup.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

namespace setuptest {
namespace {

using vantorsetup::CertificateDialog;
using vantorsetup::MainDialog;

void useLocale(const char* name) {
    setenv("LANG", name, 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
}

class SetupDialog : public testpki::PrivateStores {
  protected:
    void SetUp() override {
        PrivateStores::SetUp();
        application();
        useLocale("en_US.UTF-8");
    }
};

// The dialog's texts come from the message table in the system language, sublanguages folded
// onto the table's six and English for any other.
TEST_F(SetupDialog, TextsFollowTheSystemLanguage) {
    struct Case {
        const char* locale;
        const char* importText;
        const char* smartLogonText;
        const char* continueText;
        const char* exitText;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "Import the certificates from the smartcard into the Microsoft store.",
         "Select a certificate for the SmartLogon", "Continue", "Exit"},
        {"it_IT.UTF-8", "Importa i certificati dalla smartcard nello store di Microsoft.",
         "Scegli un certificato per lo SmartLogon", "Continua", "Esci"},
        {"it_CH.UTF-8", "Importa i certificati dalla smartcard nello store di Microsoft.",
         "Scegli un certificato per lo SmartLogon", "Continua", "Esci"},
        {"es_ES.UTF-8", "Importar los certificados de la tarjeta al store de Microsoft.",
         "Seleccionar un certificado para el SmartLogon", "Continuar", "Salir"},
        {"el_GR.UTF-8", "Εγκατάσταση των πιστοποιητικών από την έξυπνη κάρτα στο Micorsoft store.",
         "Επιλέξτε πιστοποιητικό για το SmartLogon", "Επόμενο", "Έξοδος"},
        {"zh_TW.UTF-8", "從智能卡中導入證書到微軟資料庫內", "為SmartLogon選擇一個證書", "繼續",
         "退出"},
        {"zh_HK.UTF-8", "從智能卡中導入證書到微軟資料庫內", "為SmartLogon選擇一個證書", "繼續",
         "退出"},
        {"zh_CN.UTF-8", "从智能卡中导入证书到微软数据库内", "为SmartLogon选择一个证书", "继续",
         "退出"},
        {"zh_SG.UTF-8", "从智能卡中导入证书到微软数据库内", "为SmartLogon选择一个证书", "继续",
         "退出"},
        {"de_DE.UTF-8", "Import the certificates from the smartcard into the Microsoft store.",
         "Select a certificate for the SmartLogon", "Continue", "Exit"},
    };
    for (const Case& c : cases) {
        useLocale(c.locale);
        MainDialog dialog;
        EXPECT_EQ(dialog.windowTitle().toStdString(), "Vantor CSP2");
        EXPECT_EQ(dialog.importText()->text().toStdString(), c.importText) << c.locale;
        EXPECT_EQ(dialog.smartLogonText()->text().toStdString(), c.smartLogonText) << c.locale;
        EXPECT_EQ(dialog.continueButton()->text().toStdString(), c.continueText) << c.locale;
        EXPECT_EQ(dialog.exitButton()->text().toStdString(), c.exitText) << c.locale;
        EXPECT_TRUE(dialog.importOption()->isChecked()) << c.locale;
        EXPECT_FALSE(dialog.smartLogonOption()->isChecked()) << c.locale;
        EXPECT_FALSE(dialog.windowIcon().isNull());
    }
    // The error message takes its code as eight upper-case digits, with a CR LF line break.
    useLocale("en_US.UTF-8");
    EXPECT_EQ(vantorsetup::setupFailedMessage(0x8009000Au),
              "An error occurred setting up the certificate (0x8009000A).\r\n"
              "The selected certificate may be not usable with Vantor SmartLogon");
    useLocale("zh_CN.UTF-8");
    EXPECT_EQ(vantorsetup::setupFailedMessage(0x5u),
              "在建立证书时出错 (0x00000005)\r\n刚选择的证书可能无法用于Vantor SmartLogon");
}

// Counts the certificate dialogs that open, and closes them, so a dialog that should not have
// opened cannot hang the test.
class CertificateDialogWatch final : public QObject {
  public:
    CertificateDialogWatch() { qApp->installEventFilter(this); }
    ~CertificateDialogWatch() override { qApp->removeEventFilter(this); }
    int shown = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* dialog = qobject_cast<CertificateDialog*>(watched)) {
                ++shown;
                QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
            }
        }
        return false;
    }
};

// Without a smart-card logon certificate (others do not count) the choice shows message 0x7,
// owned by the main dialog, and no list.
TEST_F(SetupDialog, NoSmartLogonCertificateShowsMessageAndNoList) {
    addToMy(certificate("Mail Holder", {kClientAuthOid}, 1));
    addToMy(certificate("Plain Holder", {}, 2));
    MainDialog dialog;
    dialog.show();
    BoxRecorder recorder;
    CertificateDialogWatch watch;
    chooseSmartLogon(dialog);
    EXPECT_EQ(watch.shown, 0);
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].text,
              "Setup was unable to find a certificate valid for SmartLogon");
    EXPECT_EQ(recorder.boxes[0].caption, "Vantor");
    EXPECT_EQ(recorder.boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(recorder.boxes[0].owner, vantor::ui::hwndFromWidget(&dialog));
    EXPECT_TRUE(dialog.isVisible()) << "the dialog stays open";
}

// The error the software provider gives when asked for the smart-logon marker.
DWORD softProviderSmartLogonError(const char* container) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, container, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0)) {
        return GetLastError();
    }
    HCRYPTKEY key = 0;
    DWORD error = 0;
    if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &key)) {
        error = GetLastError();
    } else if (!CryptSetKeyParam(key, vantorsetup::KP_SMARTLOGON, nullptr, 0)) {
        error = GetLastError();
    }
    if (key != 0) {
        CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
    return error;
}

// Logon certificates bound to another provider's key, or to none, are listed; OK without a
// selection asks for one and keeps the dialog; choosing one reports message 0x6 with the error
// of the call that failed.
TEST_F(SetupDialog, ChoosingACertificateReportsTheProvidersError) {
    const char* container = "setup-test-logon";
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&prov, container, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    const DWORD softError = softProviderSmartLogonError(container);
    ASSERT_NE(softError, 0u) << "the software provider has no smart-logon marker";

    addToMy(certificate("Soft Logon Holder", {kClientAuthOid, kLogonOid}, 1), container,
            MS_ENHANCED_PROV_A);
    addToMy(certificate("Mail Holder", {kClientAuthOid}, 2), container, MS_ENHANCED_PROV_A);
    addToMy(certificate("Keyless Logon Holder", {kLogonOid}, 3));

    struct Case {
        const char* name;
        DWORD error;
    };
    for (const Case& c :
         {Case{"Soft Logon Holder", softError},
          Case{"Keyless Logon Holder", static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY)}}) {
        MainDialog dialog;
        dialog.show();
        BoxRecorder recorder;
        std::vector<std::string> rows;
        bool okWithoutSelectionKeptTheDialog = false;
        bool buttonsFollowedTheSelection = false;
        whenModalShows("vantorCertificateDialog", [&](QWidget& widget) {
            auto& certs = static_cast<CertificateDialog&>(widget);
            rows = rowsOf(*certs.list());
            const bool disabled =
                !certs.okButton()->isEnabled() && !certs.showButton()->isEnabled();
            certs.accept();  // the OK command with nothing selected
            okWithoutSelectionKeptTheDialog =
                certs.isVisible() && recorder.boxes.size() == 1 &&
                recorder.boxes[0].owner == vantor::ui::hwndFromWidget(&certs);
            const auto at = std::find(rows.begin(), rows.end(), c.name);
            if (at == rows.end()) {
                certs.reject();
                return;
            }
            certs.list()->selectRow(static_cast<int>(at - rows.begin()));
            buttonsFollowedTheSelection =
                disabled && certs.okButton()->isEnabled() && certs.showButton()->isEnabled();
            certs.okButton()->click();
        });
        chooseSmartLogon(dialog);

        std::vector<std::string> sorted = rows;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, (std::vector<std::string>{"Keyless Logon Holder", "Soft Logon Holder"}));
        EXPECT_TRUE(okWithoutSelectionKeptTheDialog);
        EXPECT_TRUE(buttonsFollowedTheSelection);
        ASSERT_EQ(recorder.boxes.size(), 2u) << c.name;
        EXPECT_EQ(recorder.boxes[0].text,
                  "Please select a certificate to be used for the SmartLogon");
        EXPECT_EQ(recorder.boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
        EXPECT_EQ(recorder.boxes[1].text, vantorsetup::setupFailedMessage(c.error)) << c.name;
        char code[16];
        std::snprintf(code, sizeof code, "(0x%08X)", static_cast<unsigned>(c.error));
        EXPECT_NE(recorder.boxes[1].text.find(code), std::string::npos) << recorder.boxes[1].text;
        EXPECT_EQ(recorder.boxes[1].caption, "Vantor");
        EXPECT_EQ(recorder.boxes[1].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
        EXPECT_EQ(recorder.boxes[1].owner, vantor::ui::hwndFromWidget(&dialog));
        EXPECT_TRUE(dialog.isVisible());
    }
}

// Show opens the certificate viewer on the selected certificate; Cancel then closes the list
// with no message; Exit and the close box end the main dialog with 2.
TEST_F(SetupDialog, ShowOpensTheViewerCancelAndExitCloseQuietly) {
    addToMy(certificate("Viewed Logon Holder", {kLogonOid}, 1));
    MainDialog dialog;
    dialog.show();
    BoxRecorder recorder;
    bool viewerShown = false;
    whenModalShows("vantorCertificateDialog", [&](QWidget& widget) {
        auto& certs = static_cast<CertificateDialog&>(widget);
        certs.list()->selectRow(0);
        whenModalShows("CertificateViewer", [&](QWidget& viewer) {
            viewerShown = true;
            static_cast<QDialog&>(viewer).reject();
            QMetaObject::invokeMethod(certs.cancelButton(), &QPushButton::click,
                                      Qt::QueuedConnection);
        });
        QMetaObject::invokeMethod(certs.showButton(), &QPushButton::click, Qt::QueuedConnection);
    });
    chooseSmartLogon(dialog);
    EXPECT_TRUE(viewerShown);
    EXPECT_TRUE(recorder.boxes.empty()) << recorder.boxes.front().text;

    for (bool closeBox : {false, true}) {
        MainDialog modal;
        QTimer::singleShot(0, &modal, [&] {
            if (closeBox) {
                modal.close();
            } else {
                modal.exitButton()->click();
            }
        });
        EXPECT_EQ(modal.exec(), 2) << (closeBox ? "close box" : "Exit");
    }
}

// Runs this test program again from a folder of its own (with the platform's kernel library it
// finds beside itself), so that the card provider is looked for there; only the named test runs,
// told by the environment that it is the copy. True when it passed; its output in *output.
bool runCopyFrom(const std::string& dir, const std::string& test, std::string* output) {
    namespace fs = std::filesystem;
    fs::copy_file("/proc/self/exe", dir + "/setup_test_copy");
    fs::permissions(dir + "/setup_test_copy", fs::perms::owner_all);
    fs::copy_file(KERNEL_IMAGE, dir + "/" + fs::path(KERNEL_IMAGE).filename().string());
    const std::string command = "env -u LD_LIBRARY_PATH VANTORSETUP_TEST_COPY=1 " + dir +
                                "/setup_test_copy --gtest_filter=" + test + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        *output += buffer;
    }
    const int status = pclose(pipe);
    return status == 0 && output->find("[  PASSED  ] 1 test") != std::string::npos;
}

// Without the card provider's library, or with a library of that name that has no
// Card2WinStore, the import shows message 0x3 with no owner and Continue works again after.
TEST_F(SetupDialog, ImportWithoutTheCardProviderShowsMessage3) {
    if (std::getenv("VANTORSETUP_TEST_COPY") != nullptr) {
        MainDialog dialog;
        dialog.show();
        BoxRecorder recorder;
        dialog.continueButton()->click();
        ASSERT_EQ(recorder.boxes.size(), 1u);
        EXPECT_EQ(recorder.boxes[0].text, "Error while loading library");
        EXPECT_EQ(recorder.boxes[0].caption, "Vantor");
        EXPECT_EQ(recorder.boxes[0].type, static_cast<UINT>(MB_OK));
        EXPECT_EQ(recorder.boxes[0].owner, nullptr);
        EXPECT_TRUE(dialog.continueButton()->isEnabled());
        return;
    }
    // A provider image with every entry point but Card2WinStore stands in for the second case.
    for (const std::string& provider : {std::string(), std::string(IMAGE_WITHOUT_IMPORT)}) {
        const std::string dir = dir_ + "/copy" + (provider.empty() ? "-none" : "-other");
        std::filesystem::create_directories(dir);
        if (!provider.empty()) {
            std::filesystem::copy_file(provider, dir + "/tvxcsp32.so");
        }
        std::string output;
        EXPECT_TRUE(
            runCopyFrom(dir, "SetupDialog.ImportWithoutTheCardProviderShowsMessage3", &output))
            << (provider.empty() ? "no provider" : provider) << "\n"
            << output;
    }
}

// No more than 1024 certificates are offered, the first ones in the store's order.
TEST_F(SetupDialog, AtMost1024CertificatesAreOffered) {
    testpki::StorePtr my(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY"));
    ASSERT_TRUE(my);
    for (int i = 0; i < 1030; ++i) {
        testpki::Spec spec("/CN=Logon " + std::to_string(i),
                           {static_cast<BYTE>(1 + i / 256), static_cast<BYTE>(i % 256)});
        spec.eku = {kLogonOid};
        const testpki::Bytes der = testpki::make(spec).der;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(my.get(), X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, nullptr));
    }
    const vantorsetup::CertificateList certs = vantorsetup::smartLogonCertificates();
    ASSERT_EQ(certs.size(), vantorsetup::kMaxCertificates);
    PCCERT_CONTEXT cert = nullptr;
    for (std::size_t i = 0; i < certs.size(); ++i) {
        cert = CertEnumCertificatesInStore(my.get(), cert);
        ASSERT_NE(cert, nullptr);
        EXPECT_EQ(vantorsetup::displayName(certs[i]), vantorsetup::displayName(cert)) << i;
    }
    CertFreeCertificateContext(cert);
}

}  // namespace
}  // namespace setuptest
