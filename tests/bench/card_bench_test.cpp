// The bench through a real pcscd: readers, inserting and removing cards, APDUs through
// SCardTransmit as they appear in the card's log, a reset by another application, T=0 answers.
#include "card_bench.h"
#include "secure_messaging.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantor::bench {
namespace {

// One connected card handle with its own context, closed on every path.
class Connection {
  public:
    explicit Connection(const std::string& reader) {
        if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx_) != SCARD_S_SUCCESS) {
            ctx_ = 0;
            return;
        }
        rv_ = SCardConnectA(ctx_, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx, &card_,
                            &protocol_);
    }
    ~Connection() {
        if (card_ != 0)
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        if (ctx_ != 0)
            SCardReleaseContext(ctx_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    LONG connectResult() const { return rv_; }
    DWORD protocol() const { return protocol_; }
    LONG reconnect() {
        return SCardReconnect(card_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx, SCARD_LEAVE_CARD,
                              &protocol_);
    }
    // Sends hex, returns the answer as hex ("" and *rv on a PC/SC failure).
    std::string transmit(const std::string& hex, LONG* rv = nullptr) {
        const Bytes cmd = fromHex(hex);
        BYTE answer[260];
        DWORD length = sizeof answer;
        const LONG r =
            SCardTransmit(card_, protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                          cmd.data(), static_cast<DWORD>(cmd.size()), nullptr, answer, &length);
        if (rv)
            *rv = r;
        return r == SCARD_S_SUCCESS ? toHex(Bytes(answer, answer + length)) : "";
    }

  private:
    SCARDCONTEXT ctx_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    LONG rv_ = SCARD_E_NO_SERVICE;
};

using CardBenchEndToEnd = CardBenchTest;

TEST_F(CardBenchEndToEnd, ListsBothVirtualReadersInOrder) {
    const auto readers = listReaders();
    const int first = bench().readerIndex(0);
    const int second = bench().readerIndex(1);
    ASSERT_GT(first, 0) << "reader 0 missing";
    ASSERT_GT(second, 0) << "reader 1 missing";
    EXPECT_EQ(readers[first - 1], "Virtual PCD 00 00");
    EXPECT_EQ(readers[second - 1], "Virtual PCD 00 01");
    EXPECT_TRUE(readerAtr(CardBench::readerName(0)).empty()) << "reader 0 is not empty";
}

TEST_F(CardBenchEndToEnd, CardAnswersThroughPcscAndLogsEveryExchange) {
    std::string error;
    ASSERT_TRUE(bench().insertCard("cns", 0, {}, &error)) << error;
    EXPECT_EQ(toHex(readerAtr(CardBench::readerName(0))), "3B8801564E5452434E5330F9");
    {
        Connection c(CardBench::readerName(0));
        ASSERT_EQ(c.connectResult(), SCARD_S_SUCCESS);
        EXPECT_EQ(c.protocol(), SCARD_PROTOCOL_T1);  // negotiated from TD1 of the ATR
        EXPECT_EQ(c.transmit("00A4000C023F00"), "9000");
        EXPECT_EQ(c.transmit("00A4090C021000"), "9000");
        EXPECT_EQ(c.transmit("00A4090C021003"), "9000");
        EXPECT_EQ(c.transmit("00B0000010"),
                  "31303030303030303030303030303134"
                  "9000");
        EXPECT_EQ(c.transmit("00A4090C02ABCD"), "6A82");
    }
    const auto log = bench().exchanges(0);
    const auto it = std::find_if(
        log.begin(), log.end(), [](const Exchange& e) { return toHex(e.command) == "00B0000010"; });
    ASSERT_NE(it, log.end()) << "READ BINARY not in " << bench().logPath(0);
    EXPECT_EQ(toHex(it->response), "313030303030303030303030303031349000");
    EXPECT_FALSE(it->plain.has_value());

    EXPECT_TRUE(bench().removeCard(0));
    EXPECT_TRUE(readerAtr(CardBench::readerName(0)).empty());
    const auto ev = bench().events(0);
    EXPECT_NE(std::find(ev.begin(), ev.end(), "removed (terminated)"), ev.end());
}

TEST_F(CardBenchEndToEnd, ResetByAnotherApplicationClearsTheCardSession) {
    std::string error;
    ASSERT_TRUE(bench().insertCard("cns", 1, {}, &error)) << error;
    Connection c(CardBench::readerName(1));
    ASSERT_EQ(c.connectResult(), SCARD_S_SUCCESS);
    EXPECT_EQ(c.transmit("00200090083132333435363738"), "9000");
    EXPECT_EQ(c.transmit("0020009000"), "9000");  // verified

    EXPECT_EQ(resetCardFromOtherApplication(CardBench::readerName(1)), SCARD_S_SUCCESS);
    LONG rv = SCARD_S_SUCCESS;
    c.transmit("0020009000", &rv);
    EXPECT_EQ(rv, SCARD_W_RESET_CARD);
    ASSERT_EQ(c.reconnect(), SCARD_S_SUCCESS);
    // The card forgot the verification but not the counter.
    EXPECT_EQ(c.transmit("0020009000"), "63C3");
    const auto ev = bench().events(1);
    EXPECT_NE(std::find(ev.begin(), ev.end(), "reset"), ev.end());
}

TEST_F(CardBenchEndToEnd, ProtectedCommandIsCheckedAndLoggedInPlain) {
    std::string error;
    ASSERT_TRUE(bench().insertCard("cns-sm-required", 0, {}, &error)) << error;
    Connection c(CardBench::readerName(0));
    ASSERT_EQ(c.connectResult(), SCARD_S_SUCCESS);
    c.transmit("00A4000C023F00");
    EXPECT_EQ(c.transmit("00A4090C021400"), "9000");
    EXPECT_EQ(c.transmit("0020009A083131323233333434"), "6982");  // plain: refused

    // The six-byte GET CHALLENGE form reaches the card over T=1 as it is.
    const std::string challengeAnswer = c.transmit("008400000008");
    ASSERT_EQ(challengeAnswer.size(), 20u) << challengeAnswer;
    ASSERT_EQ(challengeAnswer.substr(16), "9000");
    EXPECT_EQ(c.transmit("80860000080102030405060708"), "9000");
    const Bytes challenge = fromHex(challengeAnswer.substr(0, 16));
    const Bytes key = fromHex("5E1A9C03D27B486F0C93A15E7D2B64F8019E3C57A2D6B40F");
    const Bytes pin = fromHex("3131323233333434");
    const Bytes crypt = cardsim::tdesCbcEncrypt(key, cardsim::padIso(pin));
    Bytes do87 = {0x87, static_cast<std::uint8_t>(crypt.size() + 1), 0x01};
    do87.insert(do87.end(), crypt.begin(), crypt.end());
    Bytes macInput = challenge;
    macInput.insert(macInput.end(), {0x0C, 0x20, 0x00, 0x9A, 0, 0, 0, 0});
    macInput.insert(macInput.end(), do87.begin(), do87.end());
    const Bytes mac = cardsim::retailMac(key, macInput);
    Bytes cmd = {0x0C, 0x20, 0x00, 0x9A, static_cast<std::uint8_t>(do87.size() + 10)};
    cmd.insert(cmd.end(), do87.begin(), do87.end());
    cmd.insert(cmd.end(), {0x8E, 0x08});
    cmd.insert(cmd.end(), mac.begin(), mac.end());
    cmd.push_back(0x00);
    const std::string answer = c.transmit(toHex(cmd));
    ASSERT_EQ(answer.size(), 24u) << answer;
    EXPECT_EQ(answer.substr(0, 4), "8E08");
    EXPECT_EQ(answer.substr(20), "9000");

    const auto log = bench().exchanges(0);
    const auto it =
        std::find_if(log.begin(), log.end(), [&](const Exchange& e) { return e.command == cmd; });
    ASSERT_NE(it, log.end());
    ASSERT_TRUE(it->plain.has_value());
    EXPECT_EQ(toHex(*it->plain), "0020009A083131323233333434");
}

TEST_F(CardBenchEndToEnd, T0CardHoldsItsAnswerForGetResponse) {
    std::string error;
    ASSERT_TRUE(bench().insertCard("cns-t0-getresponse", 0, {}, &error)) << error;
    Connection c(CardBench::readerName(0));
    ASSERT_EQ(c.connectResult(), SCARD_S_SUCCESS);
    EXPECT_EQ(c.protocol(), SCARD_PROTOCOL_T0);
    EXPECT_EQ(c.transmit("00A4000C023F00"), "6100");
    // The six-byte GET RESPONSE the library sends reaches the card unchanged.
    EXPECT_EQ(c.transmit("A0C0000000"
                         "00"),
              "9000");
    EXPECT_EQ(c.transmit("00A4090C021000"), "6100");
    EXPECT_EQ(c.transmit("A0C0000000"
                         "00"),
              "9000");
    c.transmit("00A4090C021003");
    EXPECT_EQ(c.transmit("00B0000010"), "6100");
    EXPECT_EQ(c.transmit("A0C0000000"
                         "00"),
              "31303030303030303030303030303435"
              "9000");
    const auto log = bench().exchanges(0);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(toHex(log.back().command), "A0C000000000");
}

TEST_F(CardBenchEndToEnd, CardLeavesAfterTheChosenNumberOfApdus) {
    std::string error;
    ASSERT_TRUE(bench().insertCard("cns", 0, {"--remove-after", "2"}, &error)) << error;
    {
        Connection c(CardBench::readerName(0));
        ASSERT_EQ(c.connectResult(), SCARD_S_SUCCESS);
        EXPECT_EQ(c.transmit("00A4000C023F00"), "9000");
        EXPECT_EQ(c.transmit("00A4090C021000"), "9000");  // answered, then the card leaves
        // The next command gets no answer: an error once pcscd has seen the card go, or, when
        // the command reaches vpcd before that, an empty answer (vpcd reports the closed
        // connection as zero bytes received).
        LONG rv = SCARD_S_SUCCESS;
        const std::string answer = c.transmit("00A4090C021003", &rv);
        EXPECT_TRUE(rv != SCARD_S_SUCCESS || answer.empty()) << "answered " << answer;
    }
    EXPECT_TRUE(waitForCard(CardBench::readerName(0), false, 5000));
    EXPECT_FALSE(bench().cardRunning(0));
}

TEST_F(CardBenchEndToEnd, BadScenarioIsReportedNotHung) {
    std::string error;
    EXPECT_FALSE(bench().insertCard("no-such-scenario", 0, {}, &error));
    EXPECT_NE(error.find("cardsim ended"), std::string::npos) << error;
}

}  // namespace
}  // namespace vantor::bench
