// Shared helpers of the certificate-import tests: the provider's tool exports loaded as a
// caller loads them, the user's stores read back by certstore in another process, outside
// tools run with the bench's environment, and OpenSSL-made certificates.
#pragma once

#include "bench_fixture.h"
#include "token_bench.h"
#include "win/libloaderapi.h"
#include "win/wincrypt_certs.h"
#include "win/winuser.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <sstream>

namespace tvxtest {

inline constexpr DWORD kImportFailed = 0xE0000001u;

using ExportCertFn = BOOL (*)(BOOL);
using Card2WinStoreFn = void (*)(HWND, HINSTANCE, LPSTR, int);

struct ToolExports {
    ExportCertFn exportCert = nullptr;
    Card2WinStoreFn card2WinStore = nullptr;
};

// The exports by name from the provider image (the same library CryptoAPI loaded).
inline ToolExports loadToolExports() {
    ToolExports exports;
    HMODULE module = LoadLibraryA(providerImage().c_str());
    if (module != nullptr) {
        exports.exportCert = ProcAs<ExportCertFn>(GetProcAddress(module, "ExportCert"));
        exports.card2WinStore = ProcAs<Card2WinStoreFn>(GetProcAddress(module, "Card2WinStore"));
    }
    return exports;
}

// Card2WinStore with a command line; the thread's last error afterwards.
inline DWORD runCard2WinStore(const ToolExports& exports, const std::string& line) {
    std::string copy = line;
    SetLastError(0x12345678u);  // the entry point must set it either way
    exports.card2WinStore(nullptr, nullptr, copy.data(), SW_SHOWNORMAL);
    return GetLastError();
}

// One certificate as `certstore list` shows it.
struct StoredCert {
    std::string subject;
    std::string container;  // "" without key provider information
    std::string provider;
    std::string keySpec;
};

// A store as another process sees it; an absent store is empty.
inline std::vector<StoredCert> storeEntries(const std::string& store) {
    const vantor::tokenbench::ToolRun run =
        vantor::tokenbench::runTool({CERTSTORE_PATH, "list", store});
    std::vector<StoredCert> entries;
    std::istringstream in(run.output);
    std::string line;
    while (std::getline(in, line)) {
        auto value = [&line](const char* key) -> std::optional<std::string> {
            const std::string prefix = std::string("    ") + key;
            if (line.rfind(prefix, 0) != 0) {
                return std::nullopt;
            }
            const auto start = line.find_first_not_of(' ', prefix.size());
            return start == std::string::npos ? std::string() : line.substr(start);
        };
        if (!line.empty() && line[0] == '[') {
            entries.emplace_back();
        } else if (entries.empty()) {
            continue;
        } else if (auto subject = value("subject")) {
            entries.back().subject = *subject;
        } else if (auto container = value("container")) {
            entries.back().container =
                container->rfind("none", 0) == 0 ? std::string() : *container;
        } else if (auto provider = value("provider")) {
            entries.back().provider = *provider;
        } else if (auto keySpec = value("key spec")) {
            entries.back().keySpec = *keySpec;
        }
    }
    return entries;
}

inline const StoredCert* findSubject(const std::vector<StoredCert>& entries,
                                     const std::string& commonName) {
    for (const StoredCert& entry : entries) {
        if (entry.subject.find("CN=" + commonName) != std::string::npos) {
            return &entry;
        }
    }
    return nullptr;
}

// Removes the user's stores the import writes to, so each test starts without certificates.
inline void clearStores() {
    for (const char* name : {"MY", "ROOT", "AddressBook"}) {
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG, name);
    }
}

// pkcs11-tool on the bench module, with what a plain program needs to load this build of it.
inline vantor::tokenbench::ToolRun pkcs11Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/env"};
    for (const auto& [name, value] : cardtoken::test::childEnvironment()) {
        argv.push_back(name + "=" + value);
    }
    argv.push_back("pkcs11-tool");
    argv.push_back("--module");
    argv.push_back(cardtoken::test::modulePath());
    argv.insert(argv.end(), args.begin(), args.end());
    return vantor::tokenbench::runTool(argv);
}

// A DER certificate for subject CN=subjectCn, issued by the bench CA (its key file signs it).
inline Bytes issuedByBenchCa(const std::string& subjectCn, bool isCa) {
    Bytes der;
    FILE* f = std::fopen((ProviderBench::keysDir() + "/ca-key.pem").c_str(), "r");
    EVP_PKEY* caKey = f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) {
        std::fclose(f);
    }
    f = std::fopen((ProviderBench::keysDir() + "/ca.pem").c_str(), "r");
    X509* ca = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) {
        std::fclose(f);
    }
    EVP_PKEY* key = EVP_RSA_gen(1024);
    X509* cert = X509_new();
    if (caKey != nullptr && ca != nullptr && key != nullptr) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x1717);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 365);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(subjectCn.c_str()), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, X509_get_subject_name(ca));
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, ca, cert, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints,
                                                  isCa ? "critical,CA:TRUE" : "CA:FALSE");
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
        if (X509_sign(cert, caKey, EVP_sha256()) > 0) {
            unsigned char* out = nullptr;
            const int n = i2d_X509(cert, &out);
            if (n > 0) {
                der.assign(out, out + n);
            }
            OPENSSL_free(out);
        }
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    X509_free(ca);
    EVP_PKEY_free(caKey);
    return der;
}

inline std::string writeTemp(const std::string& name, const Bytes& bytes) {
    const std::string path = std::string(std::getenv("VANTOR_REGISTRY_DIR")) + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return path;
}

// How many objects of the type carry the label on the token in slot (pkcs11-tool, public
// objects only: no login).
inline int objectsLabelled(int slotId, const std::string& label, const char* type) {
    const auto run =
        pkcs11Tool({"--slot", std::to_string(slotId), "--list-objects", "--type", type});
    int n = 0;
    std::istringstream in(run.output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("label:") != std::string::npos && line.find(label) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

// The import tests' fixture (one suite per program: the bench fixture is made once per suite):
// empty stores and the tool exports for every test.
class ImportBench : public ProviderBench {
  protected:
    void SetUp() override {
        ProviderBench::SetUp();
        if (IsSkipped()) {
            return;
        }
        clearStores();
        exports_ = loadToolExports();
        ASSERT_NE(exports_.exportCert, nullptr);
        ASSERT_NE(exports_.card2WinStore, nullptr);
    }
    ToolExports exports_;
};

}  // namespace tvxtest
