// Sessions and objects over SoftHSM2 on the token bench, checked from outside: PINs changed and
// initialized as pkcs11-tool then uses them, labels written as pkcs11-tool lists them, searches
// against the bench's known objects, and signatures that OpenSSL verifies with the public key.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "frame/module.h"
#include "session_test_util.h"
#include "token_bench.h"

namespace pavlox::testing {
namespace {

using vantor::tokenbench::TokenBenchTest;
using vantor::tokenbench::ToolRun;

class SessionToken : public TokenBenchTest {
  protected:
    void SetUp() override {
        TokenBenchTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_EQ(pavlox::moduleLockCount(), 0);
        lib_ = std::make_unique<Lib>();
        ASSERT_EQ((*lib_)->Load(bstr(bench().module()).get()), S_OK);
        HRESULT hr = E_FAIL;
        session_ =
            openSession(*lib_, static_cast<LONG>(static_cast<ULONG>(bench().tokenSlot())), &hr);
        ASSERT_EQ(hr, S_OK);
    }
    void TearDown() override {
        session_.reset();
        const bool ran = lib_ != nullptr;
        lib_.reset();
        // Every session, object and attribute of the test is gone with the library.
        if (ran) {
            EXPECT_EQ(pavlox::moduleLockCount(), 0);
        }
        TokenBenchTest::TearDown();
    }

    CP11Session* s() { return session_.get(); }
    // The objects of one class, optionally with one label.
    std::vector<Ref<IP11Object>> ofClass(CK_OBJECT_CLASS cls, const std::string& label = "") {
        auto c = attribute(CKA_CLASS, ulongBytes(cls));
        auto l = attribute(CKA_LABEL, textBytes(label));
        vantor::ole::Variant list;
        if (label.empty()) {
            attributeList(list, {&c});
        } else {
            attributeList(list, {&c, &l});
        }
        HRESULT hr = E_FAIL;
        auto found = find(s(), *list.get(), &hr);
        EXPECT_EQ(hr, S_OK);
        return found;
    }
    // The signature of data (a string or array VARIANT) by the bench's private key.
    Bytes sign(const VARIANT& data) {
        auto keys = ofClass(CKO_PRIVATE_KEY);
        EXPECT_EQ(keys.size(), 1u);
        if (keys.empty()) {
            return {};
        }
        vantor::ole::Variant signature;
        EXPECT_EQ(keys[0]->Sign(data, signature.get()), S_OK);
        EXPECT_EQ(signature->vt, VT_ARRAY | VT_UI1);
        if (signature->vt != (VT_ARRAY | VT_UI1)) {
            return {};
        }
        EXPECT_EQ(signature->parray->rgsabound[0].lLbound, 0);
        const auto* p = static_cast<const BYTE*>(signature->parray->pvData);
        return Bytes(p, p + signature->parray->rgsabound[0].cElements);
    }
    // What OpenSSL recovers from a PKCS#1 v1.5 signature with the bench's public key: exactly
    // the bytes that were signed, or "" when the signature does not verify.
    Bytes recover(const Bytes& signature) {
        const auto file = std::filesystem::temp_directory_path() /
                          ("pavlox-sig-" + std::to_string(::getpid()) + ".bin");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(signature.data()),
                   static_cast<std::streamsize>(signature.size()));
        const auto out = file.string() + ".out";
        const ToolRun run = vantor::tokenbench::runTool(
            {"/usr/bin/openssl", "pkeyutl", "-verifyrecover", "-pubin", "-keyform", "DER", "-inkey",
             bench().get("pubkey_der"), "-in", file.string(), "-out", out});
        EXPECT_EQ(run.status, 0) << run.output;
        std::ifstream in(out, std::ios::binary);
        Bytes recovered((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::filesystem::remove(file);
        std::filesystem::remove(out);
        return recovered;
    }
    // pkcs11-tool logged in as the user with pin: its exit status and output.
    ToolRun userTool(const std::string& pin, std::vector<std::string> more = {"--list-objects"}) {
        std::vector<std::string> args = {"--token-label", bench().tokenLabel(), "--login", "--pin",
                                         pin};
        args.insert(args.end(), more.begin(), more.end());
        return pkcs11Tool(args);
    }

    std::unique_ptr<Lib> lib_;
    Ref<CP11Session> session_;
};

TEST_F(SessionToken, UserPinChangedAsPkcs11ToolSeesIt) {
    EXPECT_EQ(s()->Login(bstr("0000").get(), VARIANT_FALSE), static_cast<HRESULT>(0x804000A0u));
    ASSERT_EQ(s()->Login(bstr(bench().userPin()).get(), VARIANT_FALSE), S_OK);
    EXPECT_EQ(s()->Login(bstr(bench().userPin()).get(), VARIANT_FALSE), S_OK);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(find(s(), nullArg(), &hr).size(), std::stoul(bench().get("objects_all")));
    ASSERT_EQ(s()->SetPIN(bstr(bench().userPin()).get(), bstr("n3w-PIN").get()), S_OK);
    ASSERT_EQ(s()->Logout(), S_OK);
    EXPECT_EQ(find(s(), nullArg(), &hr).size(), std::stoul(bench().get("objects_public")));

    const ToolRun fresh = userTool("n3w-PIN");
    EXPECT_EQ(fresh.status, 0) << fresh.output;
    EXPECT_NE(fresh.output.find(bench().get("data_private_label")), std::string::npos)
        << fresh.output;
    EXPECT_NE(userTool(bench().userPin()).status, 0) << "the old PIN still works";
}

TEST_F(SessionToken, SecurityOfficerInitializesTheUserPin) {
    ASSERT_EQ(s()->Login(bstr(bench().soPin()).get(), VARIANT_TRUE), S_OK);
    VARIANT_BOOL logged = VARIANT_FALSE;
    EXPECT_EQ(s()->get_Logged(&logged), S_OK);
    EXPECT_EQ(logged, VARIANT_TRUE);
    // A non-ASCII PIN: pkcs11-tool types its UTF-8 bytes, so all of them must reach the token.
    const std::string pin =
        "\xC3\xBC"
        "ber-1234";
    ASSERT_EQ(s()->InitPIN(bstr(pin).get()), S_OK);
    ASSERT_EQ(s()->Logout(), S_OK);
    const ToolRun run = userTool(pin);
    EXPECT_EQ(run.status, 0) << run.output;
}

TEST_F(SessionToken, CertificatesWithLabelsAndIdsAndTemplates) {
    auto certs = ofClass(CKO_CERTIFICATE);
    ASSERT_EQ(certs.size(), 1u);
    vantor::ole::Variant wanted;
    typeList(wanted, {CKA_LABEL, CKA_ID, CKA_VALUE});
    HRESULT hr = E_FAIL;
    auto reads = getAttributes(certs[0].get(), *wanted.get(), false, &hr);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(asText(reads[0].raw), bench().get("cert_label"));
    EXPECT_EQ(reads[1].raw, bench().keyId());
    std::ifstream der(bench().get("cert_der"), std::ios::binary);
    const Bytes expected((std::istreambuf_iterator<char>(der)), std::istreambuf_iterator<char>());
    EXPECT_EQ(reads[2].raw, expected);

    // Class and ID together: the certificate alone; ID alone: the certificate and public key.
    auto cls = attribute(CKA_CLASS, ulongBytes(CKO_CERTIFICATE));
    auto id = attribute(CKA_ID, bench().keyId());
    vantor::ole::Variant pair;
    attributeList(pair, {&cls, &id});
    EXPECT_EQ(find(s(), *pair.get(), &hr).size(), 1u);
    attributeList(pair, {&id});
    EXPECT_EQ(find(s(), *pair.get(), &hr).size(), 2u);
    auto otherId = attribute(CKA_ID, {0x01, 0xA6});
    attributeList(pair, {&cls, &otherId});
    EXPECT_EQ(find(s(), *pair.get(), &hr).size(), 0u);
    EXPECT_EQ(hr, S_OK);

    // A data object has no ID: read together with its label, the ID comes back not valid; with
    // stop, the read fails with the module's code.
    auto data = ofClass(CKO_DATA, bench().get("data_public_label"));
    ASSERT_EQ(data.size(), 1u);
    typeList(wanted, {CKA_LABEL, CKA_ID});
    reads = getAttributes(data[0].get(), *wanted.get(), false, &hr);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_TRUE(reads[0].valid);
    EXPECT_FALSE(reads[1].valid);
    getAttributes(data[0].get(), *wanted.get(), true, &hr);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80400012u));

    // The private key's exponent is sensitive: the whole read fails.
    ASSERT_EQ(s()->Login(bstr(bench().userPin()).get(), VARIANT_FALSE), S_OK);
    auto keys = ofClass(CKO_PRIVATE_KEY);
    ASSERT_EQ(keys.size(), 1u);
    typeList(wanted, {CKA_LABEL, CKA_PRIVATE_EXPONENT});
    for (bool stop : {false, true}) {
        getAttributes(keys[0].get(), *wanted.get(), stop, &hr);
        EXPECT_EQ(hr, static_cast<HRESULT>(0x80400011u)) << stop;
    }
}

TEST_F(SessionToken, LabelWrittenAsPkcs11ToolListsIt) {
    ASSERT_EQ(s()->Login(bstr(bench().userPin()).get(), VARIANT_FALSE), S_OK);
    auto data = ofClass(CKO_DATA, bench().get("data_public_label"));
    ASSERT_EQ(data.size(), 1u);
    auto label = attribute(CKA_LABEL, textBytes("Relabelled by Pavlox"));
    vantor::ole::Variant list;
    attributeList(list, {&label});
    ASSERT_EQ(data[0]->SetAttributeValue(*list.get()), S_OK);
    // The session's changes are on the token: another process sees them.
    const ToolRun run = pkcs11Tool({"--token-label", bench().tokenLabel(), "--list-objects"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Relabelled by Pavlox"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(bench().get("data_public_label")), std::string::npos) << run.output;
}

TEST_F(SessionToken, SignaturesVerifyWithOpenSsl) {
    ASSERT_EQ(s()->Login(bstr(bench().userPin()).get(), VARIANT_FALSE), S_OK);
    // A DigestInfo (SHA-256 of "abc") as a byte array: the module pads and signs it as given.
    const Bytes digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                              0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20, 0xba, 0x78, 0x16,
                              0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae,
                              0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4,
                              0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    vantor::ole::Variant array;
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(digestInfo.size()));
    std::memcpy(a->pvData, digestInfo.data(), digestInfo.size());
    array->vt = VT_ARRAY | VT_UI1;
    array->parray = a;
    const Bytes signature = sign(*array.get());
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_EQ(recover(signature), digestInfo);

    // Strings: one byte per character while every character fits in a byte, else UTF-16LE.
    vantor::ole::Variant latin;
    latin->vt = VT_BSTR;
    latin->bstrVal = SysAllocString(u"A\u00e9");
    EXPECT_EQ(recover(sign(*latin.get())), (Bytes{0x41, 0xE9}));
    vantor::ole::Variant wide;
    wide->vt = VT_BSTR;
    wide->bstrVal = SysAllocString(u"A\u20ac");
    EXPECT_EQ(recover(sign(*wide.get())), (Bytes{0x41, 0x00, 0xAC, 0x20}));
    // A string by reference is the same string.
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_BSTR;
    byRef.pbstrVal = &latin->bstrVal;
    EXPECT_EQ(recover(sign(byRef)), (Bytes{0x41, 0xE9}));

    // A public key cannot sign: the module refuses it and nothing comes back.
    auto pub = ofClass(CKO_PUBLIC_KEY);
    ASSERT_EQ(pub.size(), 1u);
    vantor::ole::Variant out;
    EXPECT_LT(pub[0]->Sign(*array.get(), out.get()), 0);
    EXPECT_EQ(out->vt, VT_EMPTY);
}

}  // namespace
}  // namespace pavlox::testing
