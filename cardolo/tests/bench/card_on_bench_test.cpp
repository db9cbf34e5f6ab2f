// The card classes against a real reader: a card reset by another application is reconnected
// and its path restored, a removed card gives -1, and secure messaging is accepted (or refused)
// by the card's own verification.
#include <gtest/gtest.h>

#include "card/m4_card.h"
#include "card_bench.h"
#include "ops/pin_ops.h"
#include "ops/reader_ops.h"
#include "scope/pcsc_context.h"
#include "scope/reader_scope.h"

namespace cardolo::testing {
namespace {

using vantor::bench::CardBench;
using vantor::bench::CardBenchTest;
using vantor::bench::toHex;

class CardOnBench : public CardBenchTest {
  protected:
    PcscContext context;
    void SetUp() override {
        CardBenchTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_TRUE(context.establish());
    }
    void insert(const std::string& scenario, const std::vector<std::string>& extra = {}) {
        std::string error;
        ASSERT_TRUE(bench().insertCard(scenario, 0, extra, &error)) << error;
    }
};

TEST_F(CardOnBench, ResetByAnotherApplicationIsTransparent) {
    insert("cns");
    Corvo34v2Card card(context.get(), CardBench::readerName(0));
    ASSERT_EQ(card.connect(context.get(), CardBench::readerName(0)), 0);
    ASSERT_EQ(card.selectFile(0x3F00, FileKind::Df), 0);
    ASSERT_EQ(card.selectFile(0x1400, FileKind::Df), 0);
    ASSERT_EQ(vantor::bench::resetCardFromOtherApplication(CardBench::readerName(0)),
              SCARD_S_SUCCESS);
    // The signature PIN lives in DF 1400: it only verifies if the path was restored.
    const std::uint8_t pin[8] = {'1', '1', '2', '2', '3', '3', '4', '4'};
    EXPECT_EQ(card.verify(0x1A, pin), 0);
    const auto ex = bench().exchanges(0);
    ASSERT_GE(ex.size(), 3u);
    EXPECT_EQ(toHex(ex[ex.size() - 3].command), "00A4000C023F00");
    EXPECT_EQ(toHex(ex[ex.size() - 2].command), "00A4090C021400");
    EXPECT_EQ(toHex(ex.back().command).substr(0, 10), "0020009A08");
    const auto events = bench().events(0);
    EXPECT_NE(
        std::find_if(events.begin(), events.end(),
                     [](const std::string& e) { return e.find("reset") != std::string::npos; }),
        events.end());
    card.disconnect();
}

TEST_F(CardOnBench, RemovedCardGivesMinusOne) {
    insert("cns");
    Corvo34v2Card card(context.get(), CardBench::readerName(0));
    ASSERT_EQ(card.connect(context.get(), CardBench::readerName(0)), 0);
    ASSERT_EQ(card.selectFile(0x3F00, FileKind::Df), 0);
    ASSERT_TRUE(bench().removeCard(0));
    EXPECT_EQ(card.selectFile(0x1000, FileKind::Df), -1);
    std::uint8_t out[16];
    EXPECT_EQ(card.readBinary(0, out), -1);
    card.disconnect();
}

TEST_F(CardOnBench, CardRemovedInTheMiddleOfAnOperation) {
    // The card leaves when the serial is about to be read: the export fails cleanly.
    insert("cns", {"--remove-on", "00B0"});
    char serial[17] = {};
    const std::int32_t rc = readSerial(bench().readerIndex(0), serial);
    EXPECT_EQ(rc, -66);
    EXPECT_TRUE(vantor::bench::waitForCard(CardBench::readerName(0), false, 5000));
}

TEST_F(CardOnBench, SecureMessagingIsCheckedByTheCard) {
    insert("cns", {"--set", "require-sm 1400 20 24 2C"});
    const std::uint8_t pin[8] = {'1', '1', '2', '2', '3', '3', '4', '4'};
    const std::uint8_t list[2] = {0x20, 0x24};
    {
        Corvo34v2Card card(context.get(), CardBench::readerName(0));
        ASSERT_EQ(card.connect(context.get(), CardBench::readerName(0)), 0);
        ASSERT_EQ(card.selectFile(0x3F00, FileKind::Df), 0);
        ASSERT_EQ(card.selectFile(0x1400, FileKind::Df), 0);
        EXPECT_NE(card.verify(0x1A, pin), 0) << "the card wants this command protected";
        card.setSecureMessaging(true, defaultKey(), defaultKey(), list);
        EXPECT_EQ(card.verify(0x1A, pin), 0);
        card.disconnect();
    }
    auto ex = bench().exchanges(0);
    ASSERT_FALSE(ex.empty());
    ASSERT_TRUE(ex.back().plain.has_value()) << "the card deciphered the protected VERIFY";
    EXPECT_EQ(toHex(*ex.back().plain), "0020009A083131323233333434");
    EXPECT_EQ(ex.back().command[0], 0x0C);

    // A wrong key: the card refuses the MAC and nothing is verified.
    std::uint8_t wrongKey[24];
    std::copy_n(defaultKey(), 24, wrongKey);
    wrongKey[23] ^= 0x10;  // not a parity bit: DES ignores the lowest bit of each byte
    Corvo34v2Card card(context.get(), CardBench::readerName(0));
    ASSERT_EQ(card.connect(context.get(), CardBench::readerName(0)), 0);
    ASSERT_EQ(card.selectFile(0x3F00, FileKind::Df), 0);
    ASSERT_EQ(card.selectFile(0x1400, FileKind::Df), 0);
    card.setSecureMessaging(true, wrongKey, wrongKey, list);
    const CardResult r = card.verify(0x1A, pin);
    EXPECT_TRUE(r == 0x6988 || r == 0x6987 || r == 0x6C00) << std::hex << r;
    card.disconnect();
}

// What the close hook found: how often it ran and which secrets it saw in a card's buffers.
struct SecretScan {
    int calls = 0;
    std::vector<std::string> leaks;
};
SecretScan g_scan;

void scanCardBuffers(const CardBase& card) {
    ++g_scan.calls;
    const std::vector<std::string> secrets = {
        "12345678", "87654321", "11223344",
        "44332211", "13572468", std::string(reinterpret_cast<const char*>(defaultKey()), 8)};
    for (auto buffer : card.ownedBuffers()) {
        const std::string bytes(reinterpret_cast<const char*>(buffer.data()), buffer.size());
        for (const std::string& secret : secrets) {
            if (bytes.find(secret) != std::string::npos) {
                g_scan.leaks.push_back(secret);
            }
        }
    }
}

TEST_F(CardOnBench, NoPinOrKeyStaysInTheCardObjectAfterAnOperation) {
    insert("cns");
    g_scan = {};
    setScopeCloseHookForTests(&scanCardBuffers);
    auto arg = [](const char* text) {
        return PinArg{reinterpret_cast<const std::uint8_t*>(text), 8};
    };
    const int index = bench().readerIndex(0);
    const KeyArg builtIn{nullptr, 1};
    EXPECT_EQ(verifyPinPuk(index, nullptr, arg("12345678"), arg("87654321"), arg("11223344"),
                           arg("44332211"), builtIn),
              0);
    EXPECT_EQ(changePinPuk(index, nullptr, {arg("12345678"), arg("13572468")}, {}, {}, {}, builtIn),
              0);
    EXPECT_EQ(unblockPin(index, nullptr, arg("87654321"), arg("12345678"), arg("44332211"),
                         arg("11223344"), builtIn),
              0);
    EXPECT_EQ(reactivatePin(index, nullptr, arg("44332211"), arg("11223344"), builtIn), 0);
    EXPECT_EQ(unblockM4(index, "12345678", "13572468"), -4);  // a Setec scope: no DF 1111 here
    setScopeCloseHookForTests(nullptr);
    EXPECT_GE(g_scan.calls, 5);
    EXPECT_TRUE(g_scan.leaks.empty()) << "left in a card buffer: " << g_scan.leaks.front();
}

}  // namespace
}  // namespace cardolo::testing
