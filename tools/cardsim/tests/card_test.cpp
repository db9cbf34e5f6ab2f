// Behaviour of the virtual card without a reader: APDUs in, answers out, as the card library
// and the bench tests rely on them.
#include "card.h"
#include "secure_messaging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace cardsim {
namespace {

const char* kCns = R"(
atr 3B 88 01 56 4E 54 52 43 4E 53 30 F9
df 1000
ef 1000/1003 text 1000000000000014
df 1100
ef 1100/1101 size 300 data 000102030405060708090A0B0C0D0E0F
df 1400
pin MF 10 12345678 puk 11
pin MF 11 87654321
pin 1400 1A 1234 puk 1B
pin 1400 1B 44332211
key 1400 1C 5E1A9C03D27B486F0C93A15E7D2B64F8019E3C57A2D6B40F
)";

class CardTest : public ::testing::Test {
  protected:
    void load(const std::string& text) {
        card_ = std::make_unique<Card>(parseScenario(text),
                                       [this](const std::string& l) { log_.push_back(l); });
        card_->powerOn();
    }
    std::string send(const std::string& hex) {
        return toHex(card_->transmit(parseHex(hex)).response);
    }
    Bytes sendBytes(const Bytes& apdu) { return card_->transmit(apdu).response; }
    bool logged(const std::string& line) const {
        return std::find(log_.begin(), log_.end(), line) != log_.end();
    }
    static std::string sw(const std::string& response) {
        return response.size() < 4 ? response : response.substr(response.size() - 4);
    }

    // Builds the protected form of a plain case-3 command under the card challenge.
    static Bytes protect(const Bytes& key, const Bytes& challenge, const Bytes& plain) {
        const Bytes crypt = tdesCbcEncrypt(key, padIso(std::span(plain).subspan(5)));
        Bytes do87 = {0x87, static_cast<std::uint8_t>(crypt.size() + 1), 0x01};
        do87.insert(do87.end(), crypt.begin(), crypt.end());
        Bytes macInput = challenge;
        macInput.insert(macInput.end(), {0x0C, plain[1], plain[2], plain[3], 0, 0, 0, 0});
        macInput.insert(macInput.end(), do87.begin(), do87.end());
        const Bytes mac = retailMac(key, macInput);
        Bytes cmd = {0x0C, plain[1], plain[2], plain[3],
                     static_cast<std::uint8_t>(do87.size() + 10)};
        cmd.insert(cmd.end(), do87.begin(), do87.end());
        cmd.insert(cmd.end(), {0x8E, 0x08});
        cmd.insert(cmd.end(), mac.begin(), mac.end());
        cmd.push_back(0x00);
        return cmd;
    }
    Bytes challenge(int n = 8) {
        Bytes r = sendBytes({0x00, 0x84, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(n)});
        EXPECT_EQ(r.size(), static_cast<std::size_t>(n) + 2);
        r.resize(n);
        return r;
    }

    std::unique_ptr<Card> card_;
    std::vector<std::string> log_;
    const Bytes key_ = parseHex("5E1A9C03D27B486F0C93A15E7D2B64F8019E3C57A2D6B40F");
};

TEST_F(CardTest, SelectsRelativeToCurrentDfAndMf) {
    load(kCns);
    EXPECT_EQ(send("00A4000C023F00"), "9000");
    EXPECT_EQ(send("00A4090C021000"), "9000");
    // The FCI carries the EF size in tag 80.
    EXPECT_EQ(send("00A40900021003"), "6F0B80020010820101830210039000");
    // From inside DF 1000, a DF under the MF is still found; an unknown file is not.
    EXPECT_EQ(send("00A4090C021400"), "9000");
    EXPECT_EQ(send("00A4090C021003"), "6A82");
    EXPECT_EQ(send("00A4090C02ABCD"), "6A82");
    EXPECT_EQ(send("00A4040C021000"), "6A82");  // by name: no application
    EXPECT_EQ(send("00A4020C021000"), "6A86");
    EXPECT_EQ(send("00A4090C03100000"), "6700");
    // A failed selection keeps the previous one: the EF is still readable.
    EXPECT_EQ(send("00A4000C023F00"), "9000");
    EXPECT_EQ(send("00A4090C021000"), "9000");
    EXPECT_EQ(send("00A4090C021003"), "9000");
    EXPECT_EQ(send("00A4090C029999"), "6A82");
    EXPECT_EQ(send("00B0000010"), toHex(Bytes{'1', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                                              '0', '0', '0', '1', '4'}) +
                                      "9000");
    EXPECT_TRUE(logged("> 00A4090C029999"));
    EXPECT_TRUE(logged("< 6A82"));
}

TEST_F(CardTest, ReadsAtOffsetsAndReportsTheEndOfFile) {
    load(kCns);
    EXPECT_EQ(send("00B0000008"), "6986");  // no EF selected yet
    send("00A4090C021100");
    send("00A4090C021101");
    // 300 bytes in the pieces the library uses: 128, 128, 44.
    Bytes all;
    for (int off : {0, 128, 256}) {
        const int n = off == 256 ? 44 : 128;
        Bytes r = sendBytes({0x00, 0xB0, static_cast<std::uint8_t>(off >> 8),
                             static_cast<std::uint8_t>(off), static_cast<std::uint8_t>(n)});
        ASSERT_EQ(r.size(), static_cast<std::size_t>(n) + 2);
        EXPECT_EQ(toHex(std::span(r).last(2)), "9000");
        all.insert(all.end(), r.begin(), r.end() - 2);
    }
    ASSERT_EQ(all.size(), 300u);
    EXPECT_EQ(all[15], 0x0F);
    EXPECT_EQ(all[16], 0x00);
    // Asking past the end gives what there is and 6282; starting past it gives 6B00.
    EXPECT_EQ(send("00B0012808"),
              "00000000"
              "6282");
    EXPECT_EQ(send("00B0012D01"), "6B00");
    EXPECT_EQ(send("00B08000FF"), "6A81");
    // UPDATE BINARY writes in place and never grows the file.
    EXPECT_EQ(send("00D6000202AABB"), "9000");
    EXPECT_EQ(send("00B0000004"), "0001AABB9000");
    EXPECT_EQ(send("00D6012B02AABB"), "6A84");
}

TEST_F(CardTest, PinCounterBlocksAfterMaxTriesAndResetsOnSuccess) {
    load(kCns);
    EXPECT_EQ(send("002000900831313131FFFFFFFF"), "63C2");
    EXPECT_EQ(send("00200090083132333435363738"), "9000");
    EXPECT_EQ(send("0020009000"), "9000");                  // status query: verified
    EXPECT_EQ(send("002000900831313131FFFFFFFF"), "63C2");  // counter was reset to 3
    EXPECT_EQ(send("0020009000"), "63C2");
    EXPECT_EQ(send("002000900831313131FFFFFFFF"), "63C1");
    EXPECT_EQ(send("002000900831313131FFFFFFFF"), "63C0");
    EXPECT_EQ(send("00200090083132333435363738"), "6983");  // blocked: even the right value
    EXPECT_EQ(send("0020009000"), "6983");
    // A padded card refuses other lengths without counting them.
    EXPECT_EQ(send("00200091043837363500"), "6700");
    EXPECT_EQ(send("00200091083837363534333231"), "9000");
    EXPECT_EQ(send("0020009F083837363534333231"), "6A88");
}

TEST_F(CardTest, UnpaddedCardAsksForTheRealLength) {
    std::string text = kCns;
    text += "pin 1100 1A 12345 puk 1B store raw\npin 1100 1B 99999999 store raw\n";
    load(text);
    send("00A4090C021100");
    // FF-padded value: wrong length, counter untouched; the plain value is accepted.
    EXPECT_EQ(send("0020009A083132333435FFFFFF"), "6700");
    EXPECT_EQ(send("0020009A00"), "63C3");
    EXPECT_EQ(send("0020009A053132333435"), "9000");
    // RESET RETRY COUNTER: the PUK as stored (8 bytes here) then the padded new PIN, stored
    // unpadded, so the next padded VERIFY is again a wrong length.
    EXPECT_EQ(send("002C009A10"
                   "3939393939393939"
                   "393837FFFFFFFFFF"),
              "9000");
    EXPECT_EQ(send("0020009A08393837FFFFFFFFFF"), "6700");
    EXPECT_EQ(send("0020009A03393837"), "9000");
}

TEST_F(CardTest, ChangesAndUnblocksPins) {
    load(kCns);
    send("00A4090C021400");
    // New value only: refused until the current value was verified.
    EXPECT_EQ(send("0024019A083838383838383838"), "6982");
    EXPECT_EQ(send("0020009A0831323334FFFFFFFF"), "9000");
    EXPECT_EQ(send("0024019A083838383838383838"), "9000");
    EXPECT_EQ(send("0020009A0831323334FFFFFFFF"), "63C2");
    EXPECT_EQ(send("0020009A083838383838383838"), "9000");
    // Old and new value together; a wrong old value counts.
    EXPECT_EQ(send("0024009A10"
                   "3131313131313131"
                   "37373737FFFFFFFF"),
              "63C2");
    EXPECT_EQ(send("0024009A10"
                   "3838383838383838"
                   "37373737FFFFFFFF"),
              "9000");
    // Block the PIN, then unblock it with the PUK followed by a new value.
    for (int i = 0; i < 3; ++i)
        send("0020009A0830303030FFFFFFFF");
    EXPECT_EQ(send("0020009A0837373737FFFFFFFF"), "6983");
    EXPECT_EQ(send("002C009A10"
                   "3030303030303030"
                   "35353535FFFFFFFF"),
              "63C2");  // wrong PUK
    EXPECT_EQ(send("002C009A10"
                   "3434333332323131"
                   "35353535FFFFFFFF"),
              "9000");
    EXPECT_EQ(send("0020009A0835353535FFFFFFFF"), "9000");
    // Card-holder PIN (MF level) from inside the signature DF, changed with P2 without 80.
    EXPECT_EQ(send("00200090083132333435363738"), "9000");
    EXPECT_EQ(send("00240110083132333435363730"), "9000");
    EXPECT_EQ(send("00200090083132333435363730"), "9000");
    // Too short data for old + new, and a missing PUK relation.
    EXPECT_EQ(send("0024009A0438383838"), "6700");
    EXPECT_EQ(send("002C009B10"
                   "3030303030303030"
                   "3535353535353535"),
              "6985");
}

TEST_F(CardTest, UnblocksWith16ByteBlocks) {
    load(R"(
atr 3B 08 01 02 03 04 05 06 07 08
df 0000
df 0000/1111
pin 0000/1111 81 1234 puk 82 store raw unblock block16 tries 0
pin 0000/1111 82 PUK12345 store raw
df 1111
df DF01
pin 1111 96 111111 puk 97 store raw unblock block16
pin 1111 97 87654321 store raw
pin DF01 9A 222222 puk 9B store raw unblock block16
pin DF01 9B 87654321 store raw
)");
    send("00A4090C020000");
    send("00A4090C021111");
    EXPECT_EQ(send("0020008104"
                   "31323334"),
              "6983");
    // M4 form: PUK at 0 and new PIN at 8, zero-filled.
    EXPECT_EQ(send("002C008110"
                   "50554B3132333435"
                   "3938373600000000"),
              "9000");
    EXPECT_EQ(send("0020008104"
                   "39383736"),
              "9000");
    EXPECT_EQ(send("002C008110"
                   "50554B0000000000"
                   "3938373600000000"),
              "63C2");
    // Starcos form in DF 1111, then in DF DF01 with P2 9A.
    send("00A4000C023F00");
    send("00A4090C021111");
    EXPECT_EQ(send("80243096"
                   "10"
                   "3837363534333231"
                   "3536373839300000"),
              "9000");
    EXPECT_EQ(send("0020009606"
                   "353637383930"),
              "9000");
    send("00A4000C023F00");
    send("00A4090C02DF01");
    EXPECT_EQ(send("8024309A"
                   "10"
                   "3837363534333231"
                   "3536373839300000"),
              "9000");
    EXPECT_EQ(send("002000"
                   "9A06"
                   "353637383930"),
              "9000");
    EXPECT_EQ(send("8024309A"
                   "08"
                   "3837363534333231"),
              "6700");
}

TEST_F(CardTest, SecureMessagingChecksTheMacAndProtectsTheAnswer) {
    std::string text = kCns;
    text += "require-sm 1400 20 24 2C\n";
    load(text);
    send("00A4090C021400");
    // Protection required: the plain VERIFY of the signature PIN is refused, while the
    // card-holder PIN (held by the MF) is still verified in plain.
    EXPECT_EQ(send("0020009A0831323334FFFFFFFF"), "6982");
    EXPECT_EQ(send("00200090083132333435363738"), "9000");

    const Bytes plain = parseHex("0020009A0831323334FFFFFFFF");
    Bytes ch = challenge();
    const Bytes cmd = protect(key_, ch, plain);
    const Bytes answer = sendBytes(cmd);
    // No data in the plain answer: 8E 08 MAC 90 00, the MAC over challenge | 0C INS P1 P2 | 0000
    // 0000.
    Bytes macInput = ch;
    macInput.insert(macInput.end(), {0x0C, 0x20, 0x00, 0x9A, 0, 0, 0, 0});
    Bytes expected = {0x8E, 0x08};
    const Bytes mac = retailMac(key_, macInput);
    expected.insert(expected.end(), mac.begin(), mac.end());
    expected.insert(expected.end(), {0x90, 0x00});
    EXPECT_EQ(toHex(answer), toHex(expected));
    EXPECT_TRUE(logged("= 0020009A0831323334FFFFFFFF"));

    // The challenge serves once: the same command again is refused.
    EXPECT_EQ(toHex(sendBytes(cmd)), "6988");
    // A wrong MAC is refused and logged.
    ch = challenge();
    Bytes bad = protect(key_, ch, plain);
    bad[bad.size() - 2] ^= 0x40;
    EXPECT_EQ(toHex(sendBytes(bad)), "6988");
    EXPECT_TRUE(logged("# refused: wrong MAC"));
    // A protected wrong PIN: the status word travels under the MAC.
    ch = challenge();
    const Bytes wrong = sendBytes(protect(key_, ch, parseHex("0020009A0839393939FFFFFFFF")));
    ASSERT_EQ(wrong.size(), 12u);
    EXPECT_EQ(toHex(std::span(wrong).last(2)), "63C2");
}

TEST_F(CardTest, DeactivationNeedsExternalAuthentication) {
    load(kCns);
    send("00A4090C021400");
    EXPECT_EQ(send("00040000"
                   "02001A"),
              "6982");
    // 128-byte challenge; the cryptogram is the retail MAC over all of it.
    Bytes ch = challenge(128);
    Bytes wrongCryptogram = retailMac(key_, ch);
    wrongCryptogram[0] ^= 1;
    Bytes cmd = {0x00, 0x82, 0x00, 0x9C, 0x08};
    cmd.insert(cmd.end(), wrongCryptogram.begin(), wrongCryptogram.end());
    EXPECT_EQ(toHex(sendBytes(cmd)), "6300");
    ch = challenge(128);
    const Bytes cryptogram = retailMac(key_, ch);
    std::copy(cryptogram.begin(), cryptogram.end(), cmd.begin() + 5);
    EXPECT_EQ(toHex(sendBytes(cmd)), "9000");
    EXPECT_EQ(toHex(sendBytes(cmd)), "6985");  // the challenge was used up
    EXPECT_EQ(send("00040000"
                   "02001A"),
              "9000");
    EXPECT_EQ(send("0020009A0831323334FFFFFFFF"), "6984");
    // Reactivation by the PUK holder, then the access data rewrite is stored.
    card_->reset();
    send("00A4090C021400");
    EXPECT_EQ(send("00440000"
                   "02001A"),
              "6982");
    EXPECT_EQ(send("0020009B083434333332323131"), "9000");
    EXPECT_EQ(send("00440000"
                   "02001A"),
              "9000");
    EXPECT_EQ(send("0020009A0831323334FFFFFFFF"), "9000");
    EXPECT_EQ(send("00DA016E10"
                   "8302001A860A001A1BFF1BFFFFFFFFFF"),
              "9000");
    ASSERT_EQ(card_->putData().size(), 1u);
    EXPECT_EQ(card_->putData()[0].first, 0x016E);
}

TEST_F(CardTest, ResetClearsVolatileStateOnly) {
    load(kCns);
    send("00A4090C021400");
    EXPECT_EQ(send("0020009A0831323334FFFFFFFF"), "9000");
    EXPECT_EQ(send("0020009A0830303030FFFFFFFF"), "63C2");
    challenge();
    card_->reset();
    EXPECT_TRUE(logged("# reset"));
    // Selection back at the MF (the signature PIN is out of reach), verification and
    // challenge gone; the retry counter is persistent.
    EXPECT_EQ(send("0020009A00"), "6A88");
    EXPECT_EQ(send("00B0000001"), "6986");
    send("00A4090C021400");
    EXPECT_EQ(send("0024019A083838383838383838"), "6982");
    EXPECT_EQ(send("00820 09C08 0000000000000000"), "6985");
    EXPECT_EQ(send("0020009A00"), "63C2");
}

TEST_F(CardTest, FaultsOnDemand) {
    std::string text = kCns;
    text +=
        "fault t0-getresponse 00A4 00B0\n"
        "fault once 0020 6F00\n"
        "fault sw 00DA 6A80\n"
        "fault remove-on 00CA\n"
        "fault remove-after 12\n";
    load(text);
    // 61 00, then the real answer on GET RESPONSE (whatever its Le), once.
    EXPECT_EQ(send("00A4000C023F00"), "6100");
    EXPECT_EQ(send("A0C0000000"
                   "02"),
              "9000");
    EXPECT_EQ(send("A0C0000000"
                   "02"),
              "6985");
    EXPECT_EQ(send("00A40900021000"), "6100");
    EXPECT_EQ(send("00C0000000"), "6F0B80020000820138830210009000");
    // 6F 00 only for the first VERIFY; nothing was counted.
    EXPECT_EQ(send("00200090083132333435363738"), "6F00");
    EXPECT_EQ(send("00200090083132333435363738"), "9000");
    EXPECT_EQ(send("00DA016E0101"), "6A80");
    EXPECT_EQ(send("00DA016E0101"), "6A80");
    // Removal when a chosen command arrives: no answer.
    Card::Answer a = card_->transmit(parseHex("00CA000000"));
    EXPECT_TRUE(a.remove);
    EXPECT_TRUE(a.response.empty());
    // After the 12th APDU the card answers, then leaves.
    a = card_->transmit(parseHex("0020009000"));
    EXPECT_FALSE(a.remove);
    a = card_->transmit(parseHex("0020009000"));
    EXPECT_TRUE(a.remove);
    EXPECT_EQ(toHex(a.response), "9000");
}

TEST_F(CardTest, RefusesMalformedCommands) {
    load(kCns);
    EXPECT_EQ(send("00A4"), "6700");
    EXPECT_EQ(send("00A4000C05"), "6700");          // Lc larger than the data
    EXPECT_EQ(send("00A4000C023F000000"), "6700");  // trailing bytes
    EXPECT_EQ(send("00A4000C0000"), "6700");        // no identifier at all
    EXPECT_EQ(send("00EE000000"), "6D00");
    EXPECT_EQ(send("B0B0000000"), "6E00");
    EXPECT_EQ(send("00840000"), "6700");
}

TEST(Scenario, ReportsTheBadLine) {
    try {
        parseScenario("atr 3B00\n\ndf 1000\nef 2000/1003 text x\n");
        FAIL() << "accepted an EF under an undeclared DF";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("line 4"), std::string::npos) << e.what();
    }
    EXPECT_THROW(parseScenario("df 1000\n"), std::runtime_error);  // no ATR
    EXPECT_THROW(parseScenario("atr 3B00\npin MF 10 123456789\n"), std::runtime_error);
    EXPECT_THROW(parseScenario("atr 3B00\nkey MF 1C 0102\n"), std::runtime_error);
    EXPECT_THROW(parseScenario("atr 3B00\nfault once 00A4 6F\n"), std::runtime_error);
    EXPECT_THROW(parseScenario("atr 3B0\n"), std::runtime_error);
    EXPECT_THROW(parseScenario("atr 3B00\nfault remove-after 0\n"), std::runtime_error);
    // The protocol comes from the ATR; a contradicting statement is refused.
    EXPECT_EQ(parseScenario("atr 3B 88 01 56 4E 54 52 43 4E 53 30 F9\n").protocol, 1);
    EXPECT_EQ(parseScenario("atr 3B 02 14 50\n").protocol, 0);
    EXPECT_THROW(parseScenario("atr 3B 02 14 50\nprotocol T1\n"), std::runtime_error);
}

}  // namespace
}  // namespace cardsim

namespace cardsim {
namespace {

// The shipped scenarios are test data other tests rely on: the ATR each one announces in its
// header must be the one it plays, with a correct check byte when T=1 is offered, and the serial
// it announces must be readable where the library looks for it.
TEST(ShippedScenarios, PlayWhatTheirHeadersAnnounce) {
    namespace fs = std::filesystem;
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(CARDSIM_SCENARIO_DIR)) {
        if (entry.path().extension() != ".card")
            continue;
        SCOPED_TRACE(entry.path().filename().string());
        Scenario s = loadScenario(entry.path().string());
        std::ifstream f(entry.path());
        std::string line, announcedAtr, announcedSerial;
        while (std::getline(f, line) && line.rfind('#', 0) == 0) {
            if (auto p = line.find("Expected ATR "); p != std::string::npos) {
                announcedAtr = line.substr(p + 13, line.find(' ', p + 13) - (p + 13));
            }
            if (auto p = line.find("EF 1000/1003 = \""); p != std::string::npos) {
                announcedSerial = line.substr(p + 16, 16);
            }
        }
        EXPECT_EQ(toHex(s.atr), announcedAtr);
        if (s.protocol == 1) {
            std::uint8_t tck = 0;
            for (std::size_t i = 1; i < s.atr.size(); ++i)
                tck ^= s.atr[i];
            EXPECT_EQ(tck, 0) << "TCK";
        }
        if (!announcedSerial.empty()) {
            s.faults.clear();
            Card card(std::move(s));
            card.powerOn();
            card.transmit(parseHex("00A4090C021000"));
            card.transmit(parseHex("00A4090C021003"));
            const Bytes r = card.transmit(parseHex("00B0000010")).response;
            EXPECT_EQ(std::string(r.begin(), r.end() - 2), announcedSerial);
        }
        ++checked;
    }
    EXPECT_GE(checked, 17);
}

}  // namespace
}  // namespace cardsim
