// The PKCS#12 import onto SoftHSM2 on the token bench, checked from outside: pkcs11-tool lists
// exactly the key and certificate written, and a signature the token makes with the imported key
// verifies with the certificate's public key in OpenSSL.
#include <openssl/evp.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "frame/module.h"
#include "p12_files.h"
#include "session_test_util.h"
#include "token_bench.h"

namespace pavlox::testing {
namespace {

using vantor::tokenbench::TokenBenchTest;
using vantor::tokenbench::ToolRun;

std::string hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class ImportToken : public TokenBenchTest {
  protected:
    void SetUp() override {
        TokenBenchTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (!p12Files().error.empty()) {
            GTEST_SKIP() << "test files could not be made: " << p12Files().error;
        }
        lib_ = std::make_unique<Lib>();
        ASSERT_EQ((*lib_)->Load(bstr(bench().module()).get()), S_OK);
        HRESULT hr = E_FAIL;
        session_ =
            openSession(*lib_, static_cast<LONG>(static_cast<ULONG>(bench().tokenSlot())), &hr);
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(session_->Login(bstr(bench().userPin()).get(), VARIANT_FALSE), S_OK);
    }
    void TearDown() override {
        session_.reset();
        const bool ran = lib_ != nullptr;
        lib_.reset();
        if (ran) {
            EXPECT_EQ(pavlox::moduleLockCount(), 0);
        }
        TokenBenchTest::TearDown();
    }

    // How many objects of each kind pkcs11-tool lists with this label and ID ("Private Key",
    // "Certificate", "Public Key").
    std::map<std::string, int> listed(const std::string& label, const std::string& id) {
        const ToolRun run = pkcs11Tool({"--token-label", bench().tokenLabel(), "--login", "--pin",
                                        bench().userPin(), "--list-objects"});
        EXPECT_EQ(run.status, 0) << run.output;
        std::map<std::string, int> kinds;
        std::istringstream in(run.output);
        std::string line, kind;
        bool labelled = false;
        const auto close = [&] {
            kind.clear();
            labelled = false;
        };
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] != ' ') {
                close();
                const auto end = line.find(" Object");
                if (end != std::string::npos) {
                    kind = line.substr(0, end);
                }
            } else if (line.find("label:") != std::string::npos) {
                labelled =
                    line.substr(line.find(':') + 1).find_first_not_of(' ') == std::string::npos
                        ? label.empty()
                        : line.substr(line.find_first_not_of(' ', line.find(':') + 1)) == label;
            } else if (line.find("ID:") != std::string::npos && !kind.empty() && labelled &&
                       line.substr(line.find_first_not_of(' ', line.find(':') + 1)) == hex(id)) {
                ++kinds[kind];
            }
        }
        return kinds;
    }

    // The token's signature, with the key of this ID, over the SHA-256 DigestInfo of "Vantor".
    Bytes sign(const std::string& id, Bytes* digestInfo) {
        const std::string data = "Vantor";
        *digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        unsigned char md[32];
        unsigned int mdLength = 0;
        EVP_Digest(data.data(), data.size(), md, &mdLength, EVP_sha256(), nullptr);
        digestInfo->insert(digestInfo->end(), md, md + mdLength);

        auto cls = attribute(CKA_CLASS, ulongBytes(CKO_PRIVATE_KEY));
        auto idAttr = attribute(CKA_ID, textBytes(id));
        vantor::ole::Variant list;
        attributeList(list, {&cls, &idAttr});
        auto keys = find(session_.get(), *list.get());
        EXPECT_EQ(keys.size(), 1u);
        if (keys.empty()) {
            return {};
        }
        vantor::ole::Variant array, signature;
        SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(digestInfo->size()));
        std::memcpy(a->pvData, digestInfo->data(), digestInfo->size());
        array->vt = VT_ARRAY | VT_UI1;
        array->parray = a;
        EXPECT_EQ(keys[0]->Sign(*array.get(), signature.get()), S_OK);
        if (signature->vt != (VT_ARRAY | VT_UI1)) {
            return {};
        }
        const auto* p = static_cast<const BYTE*>(signature->parray->pvData);
        return Bytes(p, p + signature->parray->rgsabound[0].cElements);
    }

    std::unique_ptr<Lib> lib_;
    Ref<CP11Session> session_;
};

// Every kind of file that holds an RSA key and its certificate imports as exactly one private
// key and one certificate (no public key, no CA certificate), and the key signs.
TEST_F(ImportToken, GoodFilesImportAndSign) {
    const P12Files& files = p12Files();
    struct Case {
        const char* file;
        const char* id;
        const char* label;
        std::string password;
    } cases[] = {
        {"aes", "01AB", "Imported AES", files.password},
        {"legacy", "L1", "Imported legacy", files.password},
        {"pbe3des", "D3", "Imported 3DES", files.password},
        {"pbeaes128", "A128", "Imported AES-128", files.password},
        {"nocertenc", "N0", "Imported plain cert", files.password},
        {"chain", "CH", "Imported with chain", files.password},
        {"empty", "E0", "Imported no password", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_EQ(
            session_->ImportP12File(bstr(c.id).get(), bstr(c.label).get(),
                                    bstr(files.path.at(c.file)).get(), bstr(c.password).get()),
            S_OK);
        const auto kinds = listed(c.label, c.id);
        EXPECT_EQ(kinds, (std::map<std::string, int>{{"Certificate", 1}, {"Private Key", 1}}));

        Bytes digestInfo;
        const Bytes signature = sign(c.id, &digestInfo);
        ASSERT_EQ(signature.size(), 256u);
        const auto base = std::filesystem::temp_directory_path() /
                          ("pavlox-import-" + std::to_string(::getpid()) + "-" + c.file);
        std::ofstream(base.string() + ".sig", std::ios::binary)
            .write(reinterpret_cast<const char*>(signature.data()),
                   static_cast<std::streamsize>(signature.size()));
        std::ofstream(base.string() + ".di", std::ios::binary)
            .write(reinterpret_cast<const char*>(digestInfo.data()),
                   static_cast<std::streamsize>(digestInfo.size()));
        const ToolRun verify = vantor::tokenbench::runTool(
            {"/usr/bin/openssl", "pkeyutl", "-verify", "-certin", "-inkey", files.certPem, "-in",
             base.string() + ".di", "-sigfile", base.string() + ".sig"});
        EXPECT_EQ(verify.status, 0) << verify.output;
        std::filesystem::remove(base.string() + ".sig");
        std::filesystem::remove(base.string() + ".di");
    }
}

// The certificate on the token carries what an outside decoder reads from the file's
// certificate: its encoding, and the serial in the certificate's own order.
TEST_F(ImportToken, CertificateReadsBackAsInTheFile) {
    const P12Files& files = p12Files();
    ASSERT_EQ(
        session_->ImportP12File(bstr("01AB").get(), bstr("").get(),
                                bstr(files.path.at("rsa1024")).get(), bstr(files.password).get()),
        S_OK);
    auto cls = attribute(CKA_CLASS, ulongBytes(CKO_CERTIFICATE));
    auto id = attribute(CKA_ID, {0x30, 0x31, 0x41, 0x42});
    vantor::ole::Variant list;
    attributeList(list, {&cls, &id});
    auto certs = find(session_.get(), *list.get());
    ASSERT_EQ(certs.size(), 1u);
    vantor::ole::Variant wanted;
    typeList(wanted, {CKA_VALUE, CKA_SERIAL_NUMBER, CKA_LABEL});
    HRESULT hr = E_FAIL;
    auto reads = getAttributes(certs[0].get(), *wanted.get(), false, &hr);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].raw, files.cert1024Der);
    EXPECT_EQ(reads[1].raw, (Bytes{0x00, 0xA1, 0xB2}));
    EXPECT_TRUE(reads[2].raw.empty());
}

}  // namespace
}  // namespace pavlox::testing
