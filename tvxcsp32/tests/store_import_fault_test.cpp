// The certificate import over the fault module, for what the card bench cannot do: a token
// serial of blanks only, an undecodable certificate, failing token calls, and a token slow and
// full enough for the progress window.
#include "fault_fixture.h"
#include "win/libloaderapi.h"
#include "win/wincrypt_certs.h"
#include "win/winuser.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <QProgressDialog>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace tvxtest {
namespace {

using Bytes = std::vector<BYTE>;
constexpr DWORD kImportFailed = 0xE0000001u;
const std::string kQuietImport = "-q -p 1234 -s \"Fault slot 1\"";

DWORD card2WinStore(const std::string& line) {
    using Fn = void (*)(HWND, HINSTANCE, LPSTR, int);
    HMODULE module = LoadLibraryA(providerImage().c_str());
    auto entry = module != nullptr ? ProcAs<Fn>(GetProcAddress(module, "Card2WinStore")) : nullptr;
    if (entry == nullptr) {
        return ~0u;
    }
    std::string copy = line;
    SetLastError(0x12345678u);
    entry(nullptr, nullptr, copy.data(), SW_SHOWNORMAL);
    return GetLastError();
}

// The container of each certificate in the store ("" without key provider information).
std::vector<std::string> containersIn(const char* name) {
    std::vector<std::string> containers;
    HCERTSTORE store = CertOpenSystemStoreA(0, name);
    PCCERT_CONTEXT cert = nullptr;
    while (store != nullptr && (cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        DWORD size = 0;
        std::string container;
        if (CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
            std::vector<BYTE> buffer(size);
            CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                              &size);
            const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
            for (const char16_t* c = info->pwszContainerName; *c != 0; ++c) {
                container += static_cast<char>(*c);
            }
        }
        containers.push_back(container);
    }
    if (store != nullptr) {
        CertCloseStore(store, 0);
    }
    return containers;
}

void clearStores() {
    for (const char* name : {"MY", "ROOT", "AddressBook"}) {
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG, name);
    }
}

// A self-signed DER certificate made by OpenSSL.
Bytes selfSigned(const char* cn) {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    Bytes bytes(der, der + std::max(n, 0));
    OPENSSL_free(der);
    X509_free(cert);
    EVP_PKEY_free(key);
    return bytes;
}

class ImportFaultTest : public ProviderFaultTest {
  protected:
    // The fault token with its placeholder certificate replaced by a real one for its key
    // pair (CKA_ID 01 A5) and `authorities` self-signed certificates without key; the module is
    // left uninitialised for the provider.
    void prepareToken(const std::string& spec, int authorities = 0) {
        configure(spec);
        clearStores();
        CK_FUNCTION_LIST_PTR p11 = fault_->functions();
        ASSERT_EQ(fault_->module().initialize(), CKR_OK);
        CK_SESSION_HANDLE session = 0;
        ASSERT_EQ(
            p11->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
            CKR_OK);
        CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
        CK_ATTRIBUTE search{CKA_CLASS, &certClass, sizeof certClass};
        CK_OBJECT_HANDLE placeholder = 0;
        CK_ULONG found = 0;
        p11->C_FindObjectsInit(session, &search, 1);
        p11->C_FindObjects(session, &placeholder, 1, &found);
        p11->C_FindObjectsFinal(session);
        ASSERT_EQ(found, 1u);
        ASSERT_EQ(p11->C_DestroyObject(session, placeholder), CKR_OK);
        Bytes der = selfSigned("Fault Holder");
        BYTE id[] = {0x01, 0xA5};
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE cert[] = {
            {CKA_CLASS, &certClass, sizeof certClass},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_ID, id, sizeof id},
            {CKA_VALUE, der.data(), static_cast<CK_ULONG>(der.size())},
        };
        CK_OBJECT_HANDLE created = 0;
        ASSERT_EQ(p11->C_CreateObject(session, cert, 4, &created), CKR_OK);
        for (int i = 0; i < authorities; ++i) {
            const std::string name = "Fault Authority " + std::to_string(i);
            Bytes authority = selfSigned(name.c_str());
            BYTE authorityId[] = {0xCA, static_cast<BYTE>(i)};
            CK_ATTRIBUTE object[] = {
                {CKA_CLASS, &certClass, sizeof certClass},
                {CKA_TOKEN, &yes, sizeof yes},
                {CKA_ID, authorityId, sizeof authorityId},
                {CKA_VALUE, authority.data(), static_cast<CK_ULONG>(authority.size())},
            };
            ASSERT_EQ(p11->C_CreateObject(session, object, 4, &created), CKR_OK);
        }
        p11->C_CloseSession(session);
        ASSERT_EQ(fault_->module().finalize(), CKR_OK);
    }
};

TEST_F(ImportFaultTest, BlankSerialGivesContainerNamesWithoutSeparator) {
    for (const char* serial : {"", "        ", "7A  "}) {
        SCOPED_TRACE(std::string("serial \"") + serial + "\"");
        ASSERT_NO_FATAL_FAILURE(prepareToken(std::string("serial=1:") + serial));
        ASSERT_EQ(card2WinStore(kQuietImport), 0u);
        const std::string expected = *serial == '7' ? "%01%A5@7A" : "%01%A5";
        EXPECT_EQ(containersIn("MY"), std::vector<std::string>{expected});
    }
}

// An undecodable certificate or a failing token call fails the whole import.
TEST_F(ImportFaultTest, TokenFailuresFailTheImport) {
    // The untouched fault token carries a certificate object whose value is no certificate.
    configure("");
    clearStores();
    EXPECT_EQ(card2WinStore(kQuietImport), kImportFailed);
    EXPECT_TRUE(containersIn("MY").empty());
    // Each token call the import makes fails at its last call of a good run (counted with the
    // calls that prepared the token, as the module counts them since its configuration).
    for (const char* fn : {"C_FindObjects", "C_GetAttributeValue", "C_GetTokenInfo",
                           "C_GetSessionInfo", "C_FindObjectsInit"}) {
        SCOPED_TRACE(fn);
        ASSERT_NO_FATAL_FAILURE(prepareToken(""));
        ASSERT_EQ(card2WinStore(kQuietImport), 0u);
        ASSERT_EQ(containersIn("MY").size(), 1u);
        const unsigned long last = fault_->calls(fn);
        ASSERT_NO_FATAL_FAILURE(
            prepareToken(std::string("fail=") + fn + ":0x30@" + std::to_string(last) + "+"));
        EXPECT_EQ(card2WinStore(kQuietImport), kImportFailed);
        EXPECT_TRUE(containersIn("MY").empty());
    }
}

// A token with many certificates shows "Wait Please..." over a bar counting them while it
// imports, then the outcome. With TVXCSP32_SCREENSHOT_DIR set (under Xvfb with
// QT_QPA_PLATFORM=xcb) the window is saved as import-progress-en.png there.
TEST_F(ImportFaultTest, ManyCertificatesShowProgressThenTheCount) {
    // Slow token calls keep the window up long enough to be seen.
    ASSERT_NO_FATAL_FAILURE(prepareToken("delay_us=20000", 5));
    std::string label;
    int maximum = 0;
    std::string outcome;
    DialogDriver driver;
    driver
        .then([&](QWidget* modal) {
            auto* progress = qobject_cast<QProgressDialog*>(modal);
            if (progress == nullptr || progress->value() < 1) {
                return false;
            }
            label = progress->labelText().toStdString();
            maximum = progress->maximum();
            if (const char* dir = std::getenv("TVXCSP32_SCREENSHOT_DIR")) {
                progress->grab().save(QString(dir) + "/import-progress-en.png");
            }
            return true;
        })
        .then(answerMessageBox(&outcome));
    EXPECT_EQ(driver.run([] { return card2WinStore("-p 1234 -s \"Fault slot 1\""); }), 0u);
    EXPECT_EQ(label, "Wait Please...");
    EXPECT_EQ(maximum, 6);
    EXPECT_EQ(outcome, "The import of 6 certificates was successful.");
    EXPECT_EQ(containersIn("ROOT").size(), 5u);
    EXPECT_EQ(containersIn("MY").size(), 1u);
}

}  // namespace
}  // namespace tvxtest
