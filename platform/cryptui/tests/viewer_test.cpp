// The viewer as callers reach it: loaded by name from "cryptui.dll", opened offscreen, read
// through its widgets, closed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "../../crypt32/tests/test_pki.h"
#include "crypt32/certificate.h"
#include "win/cryptuiapi.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winerror.h"

using namespace testpki;

namespace {

class ViewerTest : public PrivateStores {
  protected:
    void SetUp() override {
        PrivateStores::SetUp();
        ui_ = LoadLibraryA("cryptui.dll");
        ASSERT_NE(ui_, nullptr) << "cryptui.so beside the test program";
        view_ = ProcAs<PFN_CryptUIDlgViewCertificateA>(
            GetProcAddress(ui_, "CryptUIDlgViewCertificateA"));
        ASSERT_NE(view_, nullptr);
    }
    void TearDown() override {
        FreeLibrary(ui_);
        PrivateStores::TearDown();
    }

    // Runs `inspect` on the viewer once it is up, then closes it; returns the call's result.
    BOOL showAndInspect(PCCERT_CONTEXT ctx, DWORD page,
                        const std::function<void(QWidget*)>& inspect,
                        DWORD size = sizeof(CRYPTUI_VIEWCERTIFICATE_STRUCTA)) {
        bool seen = false;
        QTimer timer;
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            QWidget* w = QApplication::activeModalWidget();
            if (w == nullptr || seen) {
                return;
            }
            seen = true;
            inspect(w);
            w->close();
        });
        timer.start();
        // Bounded: a viewer that never opens or never closes fails the test instead of hanging.
        QTimer::singleShot(10000, [] {
            if (QWidget* w = QApplication::activeModalWidget()) {
                w->close();
            }
        });
        CRYPTUI_VIEWCERTIFICATE_STRUCTA info{};
        info.dwSize = size;
        info.pCertContext = ctx;
        info.nStartPage = page;
        BOOL changed = TRUE;
        BOOL ok = view_(&info, &changed);
        EXPECT_FALSE(changed);
        EXPECT_TRUE(seen) << "the viewer never showed";
        return ok;
    }

    HMODULE ui_ = nullptr;
    PFN_CryptUIDlgViewCertificateA view_ = nullptr;
};

QString allText(QWidget* root) {
    QString text;
    for (auto* l : root->findChildren<QLabel*>()) {
        text += l->text() + "\n";
    }
    for (auto* t : root->findChildren<QTreeWidget*>()) {
        for (QTreeWidgetItemIterator it(t); *it; ++it) {
            text += (*it)->text(0) + " = " + (*it)->data(0, Qt::UserRole).toString() + "\n";
        }
    }
    return text;
}

TEST_F(ViewerTest, ShowsSubjectFingerprintsAndPathThenCloses) {
    const Hierarchy& h = hierarchy();
    Spec logon{"/C=IT/O=Vantor Test/CN=Mario Rossi", {0x00, 0xA1, 0xB2}};
    logon.eku = {"1.3.6.1.4.1.311.20.2.2"};
    Issued leaf = make(logon, &h.intermediate);
    // The issuers are in the user's stores, so the path reaches the root.
    for (auto [store, der] :
         {std::pair{"ROOT", &h.root.der}, std::pair{"CA", &h.intermediate.der}}) {
        StorePtr s(CertOpenSystemStoreA(0, store));
        ContextPtr c = decode(*der);
        ASSERT_TRUE(
            CertAddCertificateContextToStore(s.get(), c.get(), CERT_STORE_ADD_NEW, nullptr));
    }
    ContextPtr ctx = decode(leaf.der);
    BYTE sha1[20];
    DWORD cb = sizeof(sha1);
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_SHA1_HASH_PROP_ID, sha1, &cb));
    char hex[4];
    std::snprintf(hex, sizeof(hex), "%02X", sha1[0]);

    QString seen;
    QStringList chain;
    int tab = -1;
    ASSERT_TRUE(showAndInspect(ctx.get(), CRYPTUI_VIEW_PAGE_DETAILS, [&](QWidget* w) {
        seen = allText(w);
        tab = w->findChild<QTabWidget*>()->currentIndex();
        auto* tree = w->findChild<QTreeWidget*>("chain");
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            chain << (*it)->text(0);
        }
    }));
    EXPECT_EQ(tab, CRYPTUI_VIEW_PAGE_DETAILS);
    EXPECT_TRUE(seen.contains("Mario Rossi")) << seen.toStdString();
    EXPECT_TRUE(seen.contains("CN=Mario Rossi, O=Vantor Test, C=IT")) << seen.toStdString();
    EXPECT_TRUE(seen.contains("Smart Card Logon"));
    EXPECT_TRUE(seen.contains("Thumbprint (SHA-1) = " + QString(hex))) << seen.toStdString();
    EXPECT_TRUE(seen.contains("Fingerprint (SHA-256) = "));
    EXPECT_TRUE(seen.contains("Serial number = 00 A1 B2")) << seen.toStdString();
    EXPECT_EQ(chain, (QStringList{"Vantor Test Root CA", "Vantor Test Issuing CA", "Mario Rossi"}));
}

TEST_F(ViewerTest, WindowsStructureSizeIsAccepted) {
    // Callers written for Windows pass 72, the 32-bit size: members past it (nStartPage here)
    // are not read, so the viewer opens on its first tab.
    ContextPtr ctx = decode(hierarchy().root.der);
    int tab = -1;
    EXPECT_TRUE(showAndInspect(
        ctx.get(), CRYPTUI_VIEW_PAGE_PATH,
        [&](QWidget* w) { tab = w->findChild<QTabWidget*>()->currentIndex(); }, 72));
    EXPECT_EQ(tab, CRYPTUI_VIEW_PAGE_GENERAL);
}

TEST_F(ViewerTest, ManagerCertificateDisplayAndBadArguments) {
    vantor::crypt32::Certificate cert;
    EXPECT_EQ(cert.Display(), E_UNEXPECTED);  // nothing imported
    ASSERT_EQ(cert.Import(hierarchy().root.der), S_OK);
    QString title;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            title = allText(w);
            w->close();
        }
    });
    timer.start();
    EXPECT_EQ(cert.Display(), S_OK);
    EXPECT_TRUE(title.contains("Vantor Test Root CA"));

    // Refused without a window, the reason in the caller's last error.
    SetLastError(0);
    EXPECT_FALSE(view_(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CRYPTUI_VIEWCERTIFICATE_STRUCTA tooSmall{};
    tooSmall.dwSize = 8;
    tooSmall.pCertContext = cert.context();
    SetLastError(0);
    EXPECT_FALSE(view_(&tooSmall, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CRYPTUI_VIEWCERTIFICATE_STRUCTA noCert{};
    noCert.dwSize = sizeof(noCert);
    SetLastError(0);
    EXPECT_FALSE(view_(&noCert, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
