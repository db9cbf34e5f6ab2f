// The token bench checks itself: the outside tool sees what the state file names, and a raw
// PKCS#11 client through the shared loader logs in, finds the key and signs with it.
#include "token_bench.h"
#include "pkcs11/module.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace vantor::tokenbench {
namespace {

using Bytes = std::vector<CK_BYTE>;

std::string hex(CK_SLOT_ID id) {
    std::ostringstream out;
    out << "0x" << std::hex << id;
    return out.str();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class TokenBench : public TokenBenchTest {
  protected:
    // Loads and initializes the bench module on this test's token copy.
    void open() {
        ASSERT_TRUE(module_.load(bench().module().c_str())) << bench().module();
        ASSERT_EQ(module_.initialize(), CKR_OK);
        ASSERT_EQ(session_.open(module_.functions(), bench().tokenSlot()), CKR_OK);
    }
    void login(const std::string& pin) {
        ASSERT_EQ(module_->C_Login(session_.handle(), CKU_USER,
                                   reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                                   pin.size()),
                  CKR_OK);
    }
    void close() {
        session_.close();
        module_.unload();
    }
    void TearDown() override {
        close();
        TokenBenchTest::TearDown();
    }

    std::vector<CK_OBJECT_HANDLE> find(std::vector<CK_ATTRIBUTE> tmpl) {
        std::vector<CK_OBJECT_HANDLE> found(64);
        CK_ULONG n = 0;
        EXPECT_EQ(module_->C_FindObjectsInit(session_.handle(), tmpl.data(), tmpl.size()), CKR_OK);
        EXPECT_EQ(module_->C_FindObjects(session_.handle(), found.data(), found.size(), &n),
                  CKR_OK);
        EXPECT_EQ(module_->C_FindObjectsFinal(session_.handle()), CKR_OK);
        found.resize(n);
        return found;
    }

    // Length query, then read; empty with the result in *rv when either fails.
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_RV* rv = nullptr) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        CK_RV r = module_->C_GetAttributeValue(session_.handle(), object, &a, 1);
        Bytes value;
        if (r == CKR_OK) {
            value.resize(a.ulValueLen);
            a.pValue = value.data();
            r = module_->C_GetAttributeValue(session_.handle(), object, &a, 1);
        }
        if (rv != nullptr) {
            *rv = r;
        }
        return r == CKR_OK ? value : Bytes();
    }
    std::string text(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        const Bytes b = attribute(object, type);
        return std::string(b.begin(), b.end());
    }

    pkcs11::Module module_;
    pkcs11::Session session_;
};

// First, so that every later test would trip over a change that leaked out of its copy.
TEST_F(TokenBench, ChangesStayInTheTestsOwnCopy) {
    open();
    const std::string oldPin = bench().userPin();
    const std::string newPin = "98765";
    login(oldPin);
    auto* o = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(oldPin.data()));
    auto* n = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(newPin.data()));
    ASSERT_EQ(module_->C_SetPIN(session_.handle(), o, oldPin.size(), n, newPin.size()), CKR_OK);
    close();

    // The outside tool works on the same copy and sees the change ...
    const ToolRun changed = pkcs11Tool(
        {"--token-label", bench().tokenLabel(), "--login", "--pin", newPin, "--list-objects"});
    EXPECT_EQ(changed.status, 0) << changed.output;

    // ... and a fresh copy starts again from the prepared tokens.
    ASSERT_TRUE(resetTokens());
    open();
    login(oldPin);
}

TEST_F(TokenBench, OutsideToolSeesTheSlotsAndObjectsOfTheState) {
    const ToolRun slots = pkcs11Tool({"--list-slots"});
    ASSERT_EQ(slots.status, 0) << slots.output;
    EXPECT_NE(slots.output.find("(" + hex(bench().tokenSlot()) + ")"), std::string::npos);
    EXPECT_NE(slots.output.find("(" + hex(bench().spareSlot()) + ")"), std::string::npos);
    EXPECT_NE(slots.output.find("(" + hex(bench().freeSlot()) + ")"), std::string::npos);
    EXPECT_NE(slots.output.find("token label        : " + bench().tokenLabel()), std::string::npos);
    EXPECT_NE(slots.output.find("serial num         : " + bench().get("token_serial")),
              std::string::npos);
    EXPECT_EQ(occurrences(slots.output, "token state:   uninitialized"), 1u) << slots.output;

    const std::vector<std::string> onToken = {"--token-label", bench().tokenLabel(),
                                              "--list-objects"};
    const ToolRun pub = pkcs11Tool(onToken);
    ASSERT_EQ(pub.status, 0) << pub.output;
    auto all = onToken;
    all.insert(all.end(), {"--login", "--pin", bench().userPin()});
    const ToolRun everything = pkcs11Tool(all);
    ASSERT_EQ(everything.status, 0) << everything.output;

    // Objects are listed as "<Kind> Object; ..." or "Data object <n>", once each.
    auto objects = [](const std::string& out) {
        return occurrences(out, " Object;") + occurrences(out, "Data object ");
    };
    EXPECT_EQ(objects(pub.output), std::stoul(bench().get("objects_public"))) << pub.output;
    EXPECT_EQ(objects(everything.output), std::stoul(bench().get("objects_all")))
        << everything.output;
    EXPECT_EQ(pub.output.find(bench().get("data_private_label")), std::string::npos);
    for (const char* key : {"key_label", "cert_label", "data_public_label", "data_private_label"}) {
        EXPECT_NE(everything.output.find(bench().get(key)), std::string::npos) << key;
    }
    EXPECT_EQ(occurrences(everything.output, "ID:         " + bench().get("key_id")), 3u)
        << everything.output;
}

TEST_F(TokenBench, RawClientSeesTheTokensAsTheStateDescribes) {
    open();
    CK_ULONG count = 0;
    ASSERT_EQ(module_->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    ASSERT_EQ(module_->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    EXPECT_EQ(count, 3u);

    CK_TOKEN_INFO info{};
    ASSERT_EQ(module_->C_GetTokenInfo(bench().tokenSlot(), &info), CKR_OK);
    EXPECT_EQ(pkcs11::TrimField(info.label), bench().tokenLabel());
    EXPECT_EQ(pkcs11::TrimField(info.serialNumber), bench().get("token_serial"));
    EXPECT_NE(info.flags & CKF_USER_PIN_INITIALIZED, 0u);
    ASSERT_EQ(module_->C_GetTokenInfo(bench().spareSlot(), &info), CKR_OK);
    EXPECT_EQ(pkcs11::TrimField(info.label), bench().get("spare_label"));
    ASSERT_EQ(module_->C_GetTokenInfo(bench().freeSlot(), &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_TOKEN_INITIALIZED, 0u);

    // Public data is readable before login; the private one appears only after it.
    CK_OBJECT_CLASS data = CKO_DATA;
    const std::string app = bench().get("data_application");
    std::vector<CK_ATTRIBUTE> byApp = {
        {CKA_CLASS, &data, sizeof data},
        {CKA_APPLICATION, const_cast<char*>(app.data()), app.size()}};
    auto found = find(byApp);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(text(found[0], CKA_LABEL), bench().get("data_public_label"));
    EXPECT_EQ(text(found[0], CKA_VALUE), bench().get("data_public_value"));
    login(bench().userPin());
    found = find(byApp);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(text(found[0], CKA_VALUE) + "|" + text(found[1], CKA_VALUE),
              text(found[0], CKA_LABEL) == bench().get("data_public_label")
                  ? bench().get("data_public_value") + "|" + bench().get("data_private_value")
                  : bench().get("data_private_value") + "|" + bench().get("data_public_value"));
}

TEST_F(TokenBench, KeyIsFoundByIdSignsAndMatchesTheCertificate) {
    open();
    login(bench().userPin());
    Bytes id = bench().keyId();
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    const auto keys = find({{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), id.size()}});
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(text(keys[0], CKA_LABEL), bench().get("key_label"));
    CK_RV rv = CKR_OK;
    attribute(keys[0], CKA_PRIVATE_EXPONENT, &rv);
    EXPECT_EQ(rv, CKR_ATTRIBUTE_SENSITIVE);

    cls = CKO_CERTIFICATE;
    const auto certs = find({{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), id.size()}});
    ASSERT_EQ(certs.size(), 1u);
    const Bytes der = attribute(certs[0], CKA_VALUE);
    std::ifstream file(bench().get("cert_der"), std::ios::binary);
    const Bytes onDisk{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(der, onDisk);

    const std::string message = "signed on the token bench";
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(module_->C_SignInit(session_.handle(), &mech, keys[0]), CKR_OK);
    CK_ULONG len = 0;
    auto* data = reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(message.data()));
    ASSERT_EQ(module_->C_Sign(session_.handle(), data, message.size(), nullptr, &len), CKR_OK);
    Bytes signature(len);
    ASSERT_EQ(module_->C_Sign(session_.handle(), data, message.size(), signature.data(), &len),
              CKR_OK);
    EXPECT_EQ(len * 8, std::stoul(bench().get("key_bits")));

    // The certificate's public key verifies the token's signature: both come from one key.
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    ASSERT_NE(cert, nullptr);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    ASSERT_EQ(EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                                   X509_get0_pubkey(cert.get())),
              1);
    EXPECT_EQ(
        EVP_DigestVerify(ctx.get(), signature.data(), len,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size()),
        1);
}

}  // namespace
}  // namespace vantor::tokenbench
