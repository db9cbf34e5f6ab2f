// The import as a person or a script runs it: rundll calls Card2WinStore in a process of its
// own, certstore shows the certificates bound to the provider, and csptool signs with the
// container named there; OpenSSL checks the signature against the token's certificate.
#include "import_support.h"

#include <filesystem>
#include <fstream>

namespace tvxtest {
namespace {

using vantor::tokenbench::runTool;
using vantor::tokenbench::ToolRun;

const std::string kReader0 = vantor::bench::CardBench::readerName(0);

// rundll with a display or without any (no Qt platform, no X or Wayland display).
ToolRun rundll(const std::vector<std::string>& args, bool display = true) {
    std::vector<std::string> argv = {"/usr/bin/env"};
    if (!display) {
        argv.insert(argv.end(),
                    {"-u", "QT_QPA_PLATFORM", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY"});
    }
    argv.push_back(RUNDLL_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return runTool(argv);
}

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(ImportBench, ImportedCertificateSignsThroughTheNamedContainer) {
    insert("token-cns", 0);
    const ToolRun run = rundll({"tvxcsp32.so,Card2WinStore", "-q", "-p", "1234", "-s", kReader0});
    ASSERT_EQ(run.status, 0) << run.output;

    const auto my = storeEntries("MY");
    const StoredCert* holder = findSubject(my, "CNS Bench Holder");
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(holder->provider, "Vantor Cryptographic Service Provider");
    ASSERT_FALSE(holder->container.empty());

    const std::string data = writeTemp("data.txt", Bytes{'s', 'i', 'g', 'n', ' ', 'm', 'e'});
    const std::string sig = data + ".sig";
    const ToolRun sign =
        runTool({CSPTOOL_PATH, "sign", "\\\\.\\" + kReader0 + "\\" + holder->container, data, "-o",
                 sig, "--pin", "1234", "-p", kProvider});
    ASSERT_EQ(sign.status, 0) << sign.output;

    FILE* f = std::fopen((keysDir() + "/cns-cert.pem").c_str(), "r");
    ASSERT_NE(f, nullptr);
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ASSERT_NE(cert, nullptr);
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    const Bytes certDer(der, der + std::max(n, 0));
    OPENSSL_free(der);
    X509_free(cert);
    EXPECT_TRUE(cardtoken::test::verifyWithCertificate(certDer, readAll(data), readAll(sig)));
}

// Exit codes and what reaches the stores, with and without a display to show messages on.
TEST_F(ImportBench, ExitCodesFollowTheImportAndNeedNoDisplay) {
    insert("token-cns", 0);
    struct Row {
        std::vector<std::string> args;
        bool display;
        int status;
        std::size_t inMy;
        std::string output;  // expected in the output
    };
    const Row rows[] = {
        // Not quiet, but nowhere to show the outcome: the import still succeeds.
        {{"tvxcsp32.so,Card2WinStore", "-p", "1234", "-s", kReader0}, false, 0, 1, ""},
        {{"tvxcsp32.so,Card2WinStore", "-q", "-p", "1234"}, true, 1, 0, "0xE0000001"},
        {{"tvxcsp32.so,Card2WinStore", "-q", "-p", "0000", "-s", kReader0},
         true,
         1,
         0,
         "0xE0000001"},
        {{"tvxcsp32.so,NoSuchEntry"}, true, 2, 0, "no entry point"},
        {{"no-such-library.so,Card2WinStore"}, true, 2, 0, "cannot load"},
        {{"tvxcsp32.so"}, true, 2, 0, "LIBRARY,ENTRY"},
        {{"--version"}, true, 0, 0, "rundll 1."},
        {{"--help"}, true, 0, 0, "usage: rundll"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + (row.args.size() > 1 ? " " + row.args[1] : ""));
        clearStores();
        const ToolRun run = rundll(row.args, row.display);
        EXPECT_EQ(run.status, row.status) << run.output;
        EXPECT_NE(run.output.find(row.output), std::string::npos) << run.output;
        EXPECT_EQ(storeEntries("MY").size(), row.inMy);
    }
}

}  // namespace
}  // namespace tvxtest
