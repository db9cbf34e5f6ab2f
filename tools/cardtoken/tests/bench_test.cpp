// cardtoken.so on the card bench: slots follow the readers, tokens come and go with the cards,
// each card keeps its own token, and outside clients (pkcs11-tool, PyKCS11) see the same.
#include "bench_client.h"
#include "card_bench.h"
#include "cardtoken_client.h"
#include "token_bench.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

namespace cardtoken::test {
namespace {

namespace fs = std::filesystem;
using vantor::tokenbench::runTool;

const std::string kUserPin = "1234";
const std::string kSoPin = "12345678";

// An outside client with what it needs to load this build's module; the variables are set for
// the child only (cardsim, started by the test process, must not get them).
vantor::tokenbench::ToolRun runClient(const std::vector<std::string>& argv) {
    const auto env = childEnvironment();
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    auto run = runTool(argv);
    for (const auto& [name, value] : env) {
        ::unsetenv(name.c_str());
    }
    return run;
}

CK_RV ok(CK_RV rv) {
    return rv;
}

std::string paddedTo64(const std::string& s) {
    std::string p = s.substr(0, 64);
    p.resize(64, ' ');
    return p;
}

// The serial cardtoken.so gives a card without serial files: SHA-256 of the ATR, 8 bytes, hex.
std::string atrDigestSerial(const Bytes& atr) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(atr.data(), atr.size(), md, &n, EVP_sha256(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 8; ++i) {
        s += digits[md[i] >> 4];
        s += digits[md[i] & 15];
    }
    return s;
}

class CardTokenBench : public ClientOnBench {
  protected:
    static void SetUpTestSuite() { conf_ = std::make_unique<BenchConf>(workDir()); }

    // Inserts a card and returns its slot (the reader's 1-based index).
    CK_SLOT_ID insert(const std::string& scenario, int reader) {
        std::string error;
        EXPECT_TRUE(bench().insertCard(scenario, reader, {}, &error)) << error;
        return static_cast<CK_SLOT_ID>(bench().readerIndex(reader));
    }
    CK_TOKEN_INFO token(CK_SLOT_ID slot) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(client_->tokenInfo(slot, &info), ok(CKR_OK)) << client_->lastError();
        return info;
    }
    CK_SESSION_HANDLE session(CK_SLOT_ID slot) {
        CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
        EXPECT_EQ(client_->open(slot, &h), ok(CKR_OK)) << client_->lastError();
        return h;
    }
    std::vector<CK_OBJECT_HANDLE> keysWithId(CK_SESSION_HANDLE h, const Bytes& id) {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        return client_->find(h, {{CKA_CLASS, &cls, sizeof cls},
                                 {CKA_ID, const_cast<CK_BYTE*>(id.data()), id.size()}});
    }
    CK_STATE state(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        EXPECT_EQ((*client_)->C_GetSessionInfo(h, &info), ok(CKR_OK));
        return info.state;
    }
    std::string tokensDir() const { return conf_->dir + "/tokens"; }
};

TEST_F(CardTokenBench, SlotsAreTheReadersInTheirOrder) {
    const auto readers = vantor::bench::listReaders();
    ASSERT_GE(readers.size(), 2u);
    const auto all = client_->slots(false);
    ASSERT_EQ(all.size(), readers.size());
    for (std::size_t i = 0; i < readers.size(); ++i) {
        SCOPED_TRACE(readers[i]);
        EXPECT_EQ(all[i], i + 1) << "slot IDs are the 1-based reader indexes";
        CK_SLOT_INFO info{};
        ASSERT_EQ((*client_)->C_GetSlotInfo(all[i], &info), ok(CKR_OK));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 64),
                  paddedTo64(readers[i]));
        EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT));
        CK_TOKEN_INFO t{};
        EXPECT_EQ(client_->tokenInfo(all[i], &t), ok(CKR_TOKEN_NOT_PRESENT));
        CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
        EXPECT_EQ(client_->open(all[i], &h), ok(CKR_TOKEN_NOT_PRESENT));
    }
    EXPECT_TRUE(client_->slots(true).empty());
    CK_SLOT_INFO info{};
    EXPECT_EQ((*client_)->C_GetSlotInfo(0, &info), ok(CKR_SLOT_ID_INVALID));
    EXPECT_EQ((*client_)->C_GetSlotInfo(readers.size() + 1, &info), ok(CKR_SLOT_ID_INVALID));

    // A card in the second reader shows in the second slot only.
    const CK_SLOT_ID second = insert("token-m4", 1);
    EXPECT_EQ(second, 2u);
    EXPECT_EQ(client_->slots(true), std::vector<CK_SLOT_ID>{second});
    EXPECT_TRUE(client_->tokenPresent(second));
    EXPECT_FALSE(client_->tokenPresent(1));
}

TEST_F(CardTokenBench, RemovalEndsSessionsAndReinsertionFindsTheObjects) {
    const CK_SLOT_ID slot = insert("token-cns", 0);
    EXPECT_EQ(client_->slots(true), std::vector<CK_SLOT_ID>{slot});
    const CK_TOKEN_INFO t = token(slot);
    EXPECT_EQ(field(t.serialNumber, 16), "1000000000000201");
    EXPECT_EQ(field(t.label, 32), "Vantor CNS Token");
    EXPECT_EQ(field(t.model, 16), "CNS");
    EXPECT_EQ(field(t.manufacturerID, 32), "Vantor Bench");
    EXPECT_NE(t.flags & CKF_USER_PIN_INITIALIZED, 0u);

    const CK_SESSION_HANDLE first = session(slot), second = session(slot);
    ASSERT_EQ(client_->login(first, kUserPin), ok(CKR_OK));
    EXPECT_EQ(keysWithId(first, {0x01}).size(), 1u) << "the configured key pair";
    // A token object made now must be there after the card comes back.
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "kept across insertions";
    std::vector<CK_ATTRIBUTE> data = {{CKA_CLASS, &cls, sizeof cls},
                                      {CKA_TOKEN, &yes, sizeof yes},
                                      {CKA_LABEL, label, sizeof label - 1}};
    CK_OBJECT_HANDLE made = 0;
    ASSERT_EQ((*client_)->C_CreateObject(first, data.data(), data.size(), &made), ok(CKR_OK));

    // Another application resetting the card is not a removal.
    EXPECT_EQ(vantor::bench::resetCardFromOtherApplication(bench().readerName(0)), 0);
    EXPECT_EQ(state(first), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));

    ASSERT_TRUE(bench().removeCard(0));
    EXPECT_TRUE(client_->slots(true).empty());
    EXPECT_FALSE(client_->tokenPresent(slot));
    CK_TOKEN_INFO gone{};
    EXPECT_EQ(client_->tokenInfo(slot, &gone), ok(CKR_TOKEN_NOT_PRESENT));
    CK_SESSION_INFO si{};
    EXPECT_EQ((*client_)->C_GetSessionInfo(first, &si), ok(CKR_DEVICE_REMOVED));
    EXPECT_EQ((*client_)->C_GetSessionInfo(first, &si), ok(CKR_SESSION_HANDLE_INVALID));
    EXPECT_EQ((*client_)->C_FindObjectsInit(second, data.data(), 1), ok(CKR_DEVICE_REMOVED));
    EXPECT_EQ((*client_)->C_CloseSession(second), ok(CKR_SESSION_HANDLE_INVALID));

    // Back in (another reader even): same token, same objects, and a fresh login state.
    const CK_SLOT_ID back = insert("token-cns", 1);
    EXPECT_EQ(field(token(back).serialNumber, 16), "1000000000000201");
    const CK_SESSION_HANDLE again = session(back);
    EXPECT_EQ(state(again), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION))
        << "the login left with the card";
    ASSERT_EQ(client_->login(again, kUserPin), ok(CKR_OK));
    EXPECT_EQ(client_->find(again, {data[2]}).size(), 1u);
    EXPECT_EQ(keysWithId(again, {0x01}).size(), 1u);
    EXPECT_EQ((*client_)->C_GetSessionInfo(again, &si), ok(CKR_OK));
    EXPECT_EQ(si.slotID, back) << "sessions report the reader slot, not SoftHSM2's";
}

// Calls that read cached state may reuse a presence seen moments ago; none of them may miss a
// removal: the first call on the session after it, with no slot call in between, reports it,
// also when the same card is back in the same reader by then.
TEST_F(CardTokenBench, FirstSessionCallAfterRemovalReportsIt) {
    struct Row {
        const char* call;
        bool reinserted;
        std::function<CK_RV(CK_SESSION_HANDLE, CK_OBJECT_HANDLE)> run;
    };
    CK_SESSION_INFO si{};
    CK_OBJECT_CLASS cls = 0;
    CK_ATTRIBUTE classAttr{CKA_CLASS, &cls, sizeof cls};
    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    const Row rows[] = {
        {"C_GetSessionInfo", false,
         [&](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE) {
             return (*client_)->C_GetSessionInfo(h, &si);
         }},
        {"C_GetAttributeValue", false,
         [&](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key) {
             return (*client_)->C_GetAttributeValue(h, key, &classAttr, 1);
         }},
        {"C_GetAttributeValue, card back in", true,
         [&](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key) {
             return (*client_)->C_GetAttributeValue(h, key, &classAttr, 1);
         }},
        {"C_FindObjectsInit", false,
         [&](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE) {
             return (*client_)->C_FindObjectsInit(h, &classAttr, 1);
         }},
        {"C_SignInit", false,
         [&](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key) {
             return (*client_)->C_SignInit(h, &rsa, key);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        const CK_SLOT_ID slot = insert("token-cns", 0);
        const CK_SESSION_HANDLE h = session(slot);
        ASSERT_EQ(client_->login(h, kUserPin), ok(CKR_OK));
        const auto keys = keysWithId(h, {0x01});
        ASSERT_EQ(keys.size(), 1u);
        // A burst of reads as a signing client makes them: the presence is fresh afterwards.
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ((*client_)->C_GetSessionInfo(h, &si), ok(CKR_OK));
            ASSERT_EQ((*client_)->C_GetAttributeValue(h, keys[0], &classAttr, 1), ok(CKR_OK));
            EXPECT_EQ(cls, static_cast<CK_OBJECT_CLASS>(CKO_PRIVATE_KEY));
        }
        ASSERT_TRUE(bench().removeCard(0));
        if (row.reinserted) {
            insert("token-cns", 0);
        }
        EXPECT_EQ(row.run(h, keys[0]), ok(CKR_DEVICE_REMOVED));
        EXPECT_EQ((*client_)->C_GetSessionInfo(h, &si), ok(CKR_SESSION_HANDLE_INVALID));
    }
}

TEST_F(CardTokenBench, EachCardItsOwnTokenAndUnknownCardsTheDefault) {
    struct Case {
        const char* scenario;
        int reader;
        std::string serial;  // "" = the ATR digest
        const char* label;
        const char* model;
        Bytes keyId;  // empty: no key configured
    };
    const std::vector<std::vector<Case>> rounds = {
        {{"token-cns", 0, "1000000000000201", "Vantor CNS Token", "CNS", {0x01}},
         {"token-m4", 1, "4d34000000000302", "Vantor M4 Token", "Kryptelle-32", {0x02}}},
        {{"fs-type1", 0, "1000000000000069", "Vantor Bench Token", "Bench Card", {}},
         {"token-fullp11", 1, "", "Vantor FullP11 Token", "FullP11-FFS", {0x03}}},
    };
    for (const auto& round : rounds) {
        std::vector<CK_SESSION_HANDLE> sessions;
        for (const Case& c : round) {
            SCOPED_TRACE(c.scenario);
            const CK_SLOT_ID slot = insert(c.scenario, c.reader);
            const std::string serial =
                c.serial.empty()
                    ? atrDigestSerial(vantor::bench::readerAtr(bench().readerName(c.reader)))
                    : c.serial;
            const CK_TOKEN_INFO t = token(slot);
            EXPECT_EQ(field(t.serialNumber, 16), serial);
            EXPECT_EQ(field(t.label, 32), c.label);
            EXPECT_EQ(field(t.model, 16), c.model);
            sessions.push_back(session(slot));
            ASSERT_EQ(client_->login(sessions.back(), kUserPin), ok(CKR_OK));
        }
        // Both tokens at once, each with its own keys only.
        for (std::size_t i = 0; i < round.size(); ++i) {
            for (std::size_t j = 0; j < round.size(); ++j) {
                if (round[j].keyId.empty()) {
                    continue;
                }
                EXPECT_EQ(keysWithId(sessions[i], round[j].keyId).size(), i == j ? 1u : 0u)
                    << round[i].scenario << " looking for the key of " << round[j].scenario;
            }
        }
        ASSERT_TRUE(bench().removeCard(0));
        ASSERT_TRUE(bench().removeCard(1));
    }
}

TEST_F(CardTokenBench, SignaturesVerifyWithOpenSsl) {
    const CK_SLOT_ID slot = insert("token-cns", 0);
    const CK_SESSION_HANDLE h = session(slot);
    ASSERT_EQ(client_->login(h, kUserPin), ok(CKR_OK));
    const Bytes data = {'b', 'e', 'n', 'c', 'h'};
    CK_MECHANISM sha256Rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
    auto sign = [&](CK_OBJECT_HANDLE key) {
        Bytes sig(512);
        CK_ULONG n = sig.size();
        EXPECT_EQ((*client_)->C_SignInit(h, &sha256Rsa, key), ok(CKR_OK));
        EXPECT_EQ(
            (*client_)->C_Sign(h, const_cast<CK_BYTE*>(data.data()), data.size(), sig.data(), &n),
            ok(CKR_OK));
        sig.resize(n);
        return sig;
    };

    // The key loaded from the PKCS#12 file, checked against its certificate.
    const auto keys = keysWithId(h, {0x01});
    ASSERT_EQ(keys.size(), 1u);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BYTE id = 0x01;
    const auto certs =
        client_->find(h, {{CKA_CLASS, &certClass, sizeof certClass}, {CKA_ID, &id, 1}});
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_TRUE(
        verifyWithCertificate(client_->attribute(h, certs[0], CKA_VALUE), data, sign(keys[0])));

    // A key pair generated through the module.
    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 2048;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE newId[] = {0x42};
    CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits},
                          {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                          {CKA_TOKEN, &yes, sizeof yes},
                          {CKA_VERIFY, &yes, sizeof yes},
                          {CKA_ID, newId, sizeof newId}};
    CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, sizeof yes},
                           {CKA_PRIVATE, &yes, sizeof yes},
                           {CKA_SIGN, &yes, sizeof yes},
                           {CKA_ID, newId, sizeof newId}};
    CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
    ASSERT_EQ((*client_)->C_GenerateKeyPair(h, &gen, pub, 5, priv, 4, &pubKey, &privKey),
              ok(CKR_OK));
    const Bytes signature = sign(privKey);
    EXPECT_TRUE(verifyWithKey(client_->attribute(h, pubKey, CKA_MODULUS),
                              client_->attribute(h, pubKey, CKA_PUBLIC_EXPONENT), data, signature));
    Bytes tampered = signature;
    tampered[10] ^= 1;
    EXPECT_FALSE(verifyWithKey(client_->attribute(h, pubKey, CKA_MODULUS),
                               client_->attribute(h, pubKey, CKA_PUBLIC_EXPONENT), data, tampered));
}

TEST_F(CardTokenBench, PinInitialisationAndProtectedPathTokens) {
    const CK_SLOT_ID fresh = insert("token-pininit", 0);
    EXPECT_EQ(token(fresh).flags & CKF_USER_PIN_INITIALIZED, 0u);
    const CK_SESSION_HANDLE h = session(fresh);
    EXPECT_EQ(client_->login(h, kUserPin), ok(CKR_USER_PIN_NOT_INITIALIZED));
    ASSERT_EQ(client_->login(h, kSoPin, CKU_SO), ok(CKR_OK));
    std::string pin = "5678";
    ASSERT_EQ((*client_)->C_InitPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()),
              ok(CKR_OK));
    ASSERT_EQ((*client_)->C_Logout(h), ok(CKR_OK));
    EXPECT_NE(token(fresh).flags & CKF_USER_PIN_INITIALIZED, 0u);
    EXPECT_EQ(client_->login(h, pin), ok(CKR_OK));

    // A PIN-pad token: the flag is set, and a login without PIN is the pad's.
    const CK_SLOT_ID pad = insert("token-pinpad", 1);
    EXPECT_NE(token(pad).flags & CKF_PROTECTED_AUTHENTICATION_PATH, 0u);
    const CK_SESSION_HANDLE p = session(pad);
    EXPECT_EQ((*client_)->C_Login(p, CKU_USER, nullptr, 0), ok(CKR_OK));
    EXPECT_EQ(keysWithId(p, {0x05}).size(), 1u);
    ASSERT_EQ((*client_)->C_Logout(p), ok(CKR_OK));
    CK_UTF8CHAR empty[1] = {0};
    EXPECT_EQ((*client_)->C_Login(p, CKU_USER, empty, 0), ok(CKR_OK))
        << "an empty PIN, as the provider's PIN dialog submits for a PIN pad";
    // Without the flag, no PIN is no PIN.
    EXPECT_EQ(token(fresh).flags & CKF_PROTECTED_AUTHENTICATION_PATH, 0u);
    const CK_SESSION_HANDLE other = session(fresh);
    EXPECT_EQ((*client_)->C_Logout(other), ok(CKR_OK));
    EXPECT_EQ((*client_)->C_Login(other, CKU_USER, nullptr, 0), ok(CKR_ARGUMENTS_BAD));
}

// What the outside clients see, and a token made by another process found by this one.
TEST_F(CardTokenBench, OutsideClientsSeeTheSameSlotsAndTokens) {
    if (!fs::exists("/usr/bin/pkcs11-tool") || !fs::exists("/usr/bin/python3")) {
        GTEST_SKIP() << "pkcs11-tool (opensc) or /usr/bin/python3 missing";
    }
    const CK_SLOT_ID cns = insert("token-cns", 0);
    const CK_SLOT_ID m4 = insert("token-m4", 1);

    auto list = runClient({"/usr/bin/pkcs11-tool", "--module", modulePath(), "-L"});
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("Slot 0 (0x1): Virtual PCD 00 00"), std::string::npos)
        << list.output;
    EXPECT_NE(list.output.find("Slot 1 (0x2): Virtual PCD 00 01"), std::string::npos)
        << list.output;
    EXPECT_NE(list.output.find("serial num         : 1000000000000201"), std::string::npos);
    EXPECT_NE(list.output.find("serial num         : 4d34000000000302"), std::string::npos);

    auto py = runClient({"/usr/bin/python3", CARDTOKEN_PYKCS11_SCRIPT, modulePath(),
                         std::to_string(m4), "02", kUserPin});
    ASSERT_EQ(py.status, 0) << py.output;
    EXPECT_NE(py.output.find("slot 1 Virtual PCD 00 00 present 1000000000000201"),
              std::string::npos)
        << py.output;
    EXPECT_NE(py.output.find("slot 2 Virtual PCD 00 01 present 4d34000000000302"),
              std::string::npos)
        << py.output;
    const auto at = py.output.find("signature ");
    ASSERT_NE(at, std::string::npos) << py.output;
    const Bytes signature =
        vantor::bench::fromHex(py.output.substr(at + 10, py.output.find('\n', at) - at - 10));
    const CK_SESSION_HANDLE h = session(m4);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BYTE id = 0x02;
    const auto certs =
        client_->find(h, {{CKA_CLASS, &certClass, sizeof certClass}, {CKA_ID, &id, 1}});
    ASSERT_EQ(certs.size(), 1u);
    const std::string text = "signed through PyKCS11";
    EXPECT_TRUE(verifyWithCertificate(client_->attribute(h, certs[0], CKA_VALUE),
                                      Bytes(text.begin(), text.end()), signature));

    // A card this process has not seen gets its token from pkcs11-tool; this process, started
    // before, must find that token (and its object) instead of making a second one.
    ASSERT_TRUE(bench().removeCard(0));
    const CK_SLOT_ID fresh = insert("serial-2f02", 0);
    EXPECT_EQ(fresh, cns);
    const std::string objectFile = conf_->dir + "/other-process.dat";
    std::ofstream(objectFile) << "made by another process";
    auto write = runClient({"/usr/bin/pkcs11-tool", "--module", modulePath(), "--slot",
                            std::to_string(fresh), "--login", "--pin", kUserPin, "--write-object",
                            objectFile, "--type", "data", "--label", "other-process"});
    ASSERT_EQ(write.status, 0) << write.output;
    EXPECT_EQ(field(token(fresh).serialNumber, 16), "0123456789abcdef");
    const CK_SESSION_HANDLE s = session(fresh);
    ASSERT_EQ(client_->login(s, kUserPin), ok(CKR_OK));
    char label[] = "other-process";
    EXPECT_EQ(client_->find(s, {{CKA_LABEL, label, sizeof label - 1}}).size(), 1u);
    EXPECT_EQ((*client_)->C_GetSessionInfo(h, nullptr), ok(CKR_ARGUMENTS_BAD));
    // Sessions of the earlier SoftHSM2 initialization are gone; the module says so.
    CK_SESSION_INFO si{};
    EXPECT_EQ((*client_)->C_GetSessionInfo(h, &si), ok(CKR_SESSION_HANDLE_INVALID));
}

}  // namespace
}  // namespace cardtoken::test
