// Known-answer and refusal tests of the card-side secure messaging. The vectors were computed
// with Python's "cryptography" package (an implementation independent of ours) from the default
// 24-byte key and the card challenge 1122334455667788.
#include "secure_messaging.h"
#include "scenario.h"

#include <gtest/gtest.h>

namespace cardsim {
namespace {

const Bytes kKey = parseHex("5E1A9C03D27B486F0C93A15E7D2B64F8019E3C57A2D6B40F");
const Bytes kChallenge = parseHex("1122334455667788");
// VERIFY 9A with "1234" FF-padded, protected: 87 11 01 <3DES-CBC> 8E 08 <MAC> 00.
const Bytes kProtectedVerify =
    parseHex("0C20009A1D87110101823C0E9AFABF0766CF65F3927E0FE08E087002BF4E29406CC100");

TEST(RetailMac, MatchesIndependentVectors) {
    EXPECT_EQ(toHex(retailMac(kKey, parseHex("000102030405060708090A0B0C0D0E0F"))),
              "1BB51A1AF78D08DA");
    // A 16-byte key is used as K1 K2 K1; data that is not block-aligned is zero-padded.
    const Bytes k16 = expandKey(parseHex("0123456789ABCDEFFEDCBA9876543210"));
    const std::string text = "hello world!";
    EXPECT_EQ(toHex(retailMac(k16, Bytes(text.begin(), text.end()))), "A8EE8A9CA667C697");
    EXPECT_TRUE(expandKey(Bytes(7, 1)).empty());
}

TEST(SecureMessaging, AcceptsIndependentlyBuiltCommand) {
    SmCommand c = unwrapCommand(kKey, kChallenge, kProtectedVerify);
    ASSERT_EQ(c.sw, 0x9000) << c.reason;
    EXPECT_EQ(toHex(c.plain), "0020009A0831323334FFFFFFFF");
}

TEST(SecureMessaging, AnswersMatchIndependentVectors) {
    EXPECT_EQ(toHex(wrapResponse(kKey, kChallenge, 0x20, 0x00, 0x9A, {}, 0x9000)),
              "8E08CC05B07906A266B39000");
    const Bytes abc = {'A', 'B', 'C'};
    EXPECT_EQ(toHex(wrapResponse(kKey, kChallenge, 0xB0, 0x00, 0x00, abc, 0x9000)),
              "870901449F2E5E5772E7388E0857F9966AC8E358369000");
}

TEST(SecureMessaging, RefusesTamperedOrMalformedCommands) {
    // Any changed byte of header, cryptogram or MAC breaks the MAC.
    for (std::size_t pos : {1u, 3u, 10u, 30u}) {
        Bytes bad = kProtectedVerify;
        bad[pos] ^= 0x01;
        EXPECT_EQ(unwrapCommand(kKey, kChallenge, bad).sw, 0x6988) << "byte " << pos;
    }
    // Another challenge, or none.
    EXPECT_EQ(unwrapCommand(kKey, parseHex("1122334455667789"), kProtectedVerify).sw, 0x6988);
    EXPECT_EQ(unwrapCommand(kKey, {}, kProtectedVerify).sw, 0x6988);
    // Missing Le, or an Lc that does not match the bytes received.
    Bytes noLe(kProtectedVerify.begin(), kProtectedVerify.end() - 1);
    EXPECT_NE(unwrapCommand(kKey, kChallenge, noLe).sw, 0x9000);
    Bytes longLc = kProtectedVerify;
    longLc[4] = 0xFF;
    EXPECT_NE(unwrapCommand(kKey, kChallenge, longLc).sw, 0x9000);
    // A data object whose length runs past the command is refused, not read past its end.
    const Bytes overrun = parseHex("0C20009A0487F0010100");
    EXPECT_EQ(unwrapCommand(kKey, kChallenge, overrun).sw, 0x6988);
    // No MAC object at all.
    const Bytes noMac = parseHex(
        "0C20009A0B8709010102030405060708"
        "00");
    EXPECT_NE(unwrapCommand(kKey, kChallenge, noMac).sw, 0x9000);
}

TEST(SecureMessaging, RefusesBadPaddingUnderAValidMac) {
    // A correctly MACed cryptogram whose plain text lacks the 80 00.. padding.
    const Bytes plain = parseHex("3132333435363738");
    const Bytes crypt = tdesCbcEncrypt(kKey, plain);
    Bytes do87 = {0x87, static_cast<std::uint8_t>(crypt.size() + 1), 0x01};
    do87.insert(do87.end(), crypt.begin(), crypt.end());
    Bytes macInput = kChallenge;
    macInput.insert(macInput.end(), {0x0C, 0x20, 0x00, 0x9A, 0, 0, 0, 0});
    macInput.insert(macInput.end(), do87.begin(), do87.end());
    const Bytes mac = retailMac(kKey, macInput);
    Bytes cmd = {0x0C, 0x20, 0x00, 0x9A, static_cast<std::uint8_t>(do87.size() + 10)};
    cmd.insert(cmd.end(), do87.begin(), do87.end());
    cmd.insert(cmd.end(), {0x8E, 0x08});
    cmd.insert(cmd.end(), mac.begin(), mac.end());
    cmd.push_back(0x00);
    EXPECT_EQ(unwrapCommand(kKey, kChallenge, cmd).sw, 0x6988);
}

}  // namespace
}  // namespace cardsim
