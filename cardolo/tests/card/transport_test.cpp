// Transport rules of the card classes under reader faults: bounded retries and replays, one GET
// RESPONSE, the present check with reconnect, and the exact command bytes the classes build.
#include <gtest/gtest.h>

#include <cstring>

#include "card/m4_card.h"
#include "card/setec_card.h"
#include "crypto/des.h"
#include "scripted_channel.h"

namespace cardolo::testing {

std::vector<std::uint8_t> bytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : hex) {
        if (c != ' ') {
            digits.push_back(c);
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

namespace {

// The Windows result seen when a reader's driver times out (ERROR_SEM_TIMEOUT): low byte 79.
constexpr LONG kBusy = 0x79;

template <typename Card>
struct Attached {
    ScriptedChannel channel;
    Card card{0, "reader", channel};
    Attached() { card.adopt(0x1234, SCARD_PROTOCOL_T1); }
};

TEST(CardBaseTransmit, BusyReaderIsRetriedAFewTimesThenReported) {
    Attached<SetecCard> t;
    t.channel.fallback = {kBusy, {}};
    CardAnswer answer;
    EXPECT_EQ(t.card.transmit(bytes("00A4000C023F00"), answer), kBusy);
    EXPECT_EQ(t.channel.sent.size(), static_cast<std::size_t>(kMaxBusyRetries + 1));
    EXPECT_EQ(t.channel.pauses, kMaxBusyRetries);
}

TEST(CardBaseTransmit, SixFZeroZeroOnceReplaysTheCommandAndSendsItAgain) {
    Attached<SetecCard> t;
    t.channel.answer(bytes("6F00"));
    CardAnswer answer;
    EXPECT_EQ(t.card.transmit(bytes("00A4000C021100"), answer), 0);
    ASSERT_EQ(t.channel.sent.size(), 3u);  // the command, its replay, the command again
    for (const auto& cmd : t.channel.sent) {
        EXPECT_EQ(cmd, bytes("00A4000C021100"));
    }
}

TEST(CardBaseTransmit, EndlessSixFZeroZeroEndsWithThatStatus) {
    Attached<SetecCard> t;
    t.channel.fallback = {SCARD_S_SUCCESS, bytes("6F00")};
    CardAnswer answer;
    EXPECT_EQ(t.card.transmit(bytes("00B0000010"), answer), 0x6F00);
    EXPECT_EQ(t.channel.sent.size(), static_cast<std::size_t>(1 + 2 * kMaxReplays));
}

TEST(CardBaseTransmit, BusyGetResponseReplaysTheLastCommandFirst) {
    Attached<SetecCard> t;
    CardAnswer answer;
    ASSERT_EQ(t.card.transmit(bytes("00B0000004"), answer), 0);
    t.channel.sent.clear();
    t.channel.fail(kBusy);
    t.channel.answer(bytes("9000"));           // the replayed READ BINARY
    t.channel.answer(bytes("01020304 9000"));  // the GET RESPONSE again
    EXPECT_EQ(t.card.transmit(bytes("00C0000004"), answer), 0);
    ASSERT_EQ(t.channel.sent.size(), 3u);
    EXPECT_EQ(t.channel.sent[1], bytes("00B0000004"));
    EXPECT_EQ(answer.data.size(), 4u);
}

// The path restored after a reset is selected with this same transmit, which remembers each
// SELECT as the last command: the replay under way must still send its own bytes.
TEST(CardBaseTransmit, ResetDuringAReplayResendsTheReplayedCommandIntact) {
    Attached<SetecCard> t;
    ASSERT_EQ(t.card.selectFile(0x1111, FileKind::Df), 0);
    t.channel.sent.clear();
    const auto command = bytes("00B0000010");
    t.channel.answer(bytes("6F00"));       // the READ BINARY: replay it
    t.channel.fail(SCARD_W_RESET_CARD);    // the replay finds the card reset
    t.channel.answer(bytes("9000"));       // MF selected again
    t.channel.answer(bytes("9000"));       // DF 1111 selected again
    t.channel.answer(bytes("9000"));       // the replay, sent again
    t.channel.answer(bytes("0102 9000"));  // the READ BINARY once more
    CardAnswer answer;
    EXPECT_EQ(t.card.transmit(command, answer), 0);
    ASSERT_EQ(t.channel.sent.size(), 6u);
    EXPECT_EQ(t.channel.sent[2], bytes("00A4000C023F00"));
    EXPECT_EQ(t.channel.sent[3], bytes("00A4000C021111"));
    EXPECT_EQ(t.channel.sent[4], command) << "the replay went out corrupted after the reset";
    EXPECT_EQ(t.channel.sent[5], command);
}

TEST(CardBaseTransmit, AnswerWithoutStatusWordIsNeverSuccess) {
    Attached<SetecCard> t;
    t.channel.answer(bytes("90"));
    CardAnswer answer;
    EXPECT_NE(t.card.transmit(bytes("00A4000C023F00"), answer), 0);
}

// PC/SC refuses a command to a card that was reset or removed since the handle's last use, and
// says which: the classes act on that refusal, before anything reaches the card.
TEST(PresentCheck, ResetCardIsReconnectedAndTheCommandSentAgain) {
    Attached<Corvo34v2Card> t;
    t.channel.fail(SCARD_W_RESET_CARD);
    EXPECT_EQ(t.card.selectFile(0x3F00, FileKind::Df), 0);
    EXPECT_EQ(t.channel.reconnects, 1);
    ASSERT_EQ(t.channel.sent.size(), 2u);
    EXPECT_EQ(t.channel.sent[1], bytes("00A4000C023F00"));
}

TEST(PresentCheck, RemovedCardGivesMinusOne) {
    Attached<Corvo34v2Card> t;
    t.channel.fail(SCARD_W_REMOVED_CARD);
    EXPECT_EQ(t.card.selectFile(0x3F00, FileKind::Df), -1);
    EXPECT_EQ(t.channel.sent.size(), 1u) << "not tried again";

    t.channel.fail(SCARD_W_RESET_CARD);
    t.channel.reconnectResult = SCARD_E_NO_SMARTCARD;
    EXPECT_EQ(t.card.selectFile(0x3F00, FileKind::Df), -1);
    EXPECT_EQ(t.channel.sent.size(), 2u);

    Attached<SetecCard> u;
    u.channel.fail(SCARD_E_NO_SMARTCARD);
    CardAnswer answer;
    EXPECT_EQ(u.card.transmit(bytes("00B0000010"), answer), -1);
}

TEST(PresentCheck, PathLostInAResetIsSelectedAgainBeforeTheCommand) {
    Attached<Corvo34v2Card> t;
    ASSERT_EQ(t.card.selectFile(0x3F00, FileKind::Df), 0);
    ASSERT_EQ(t.card.selectFile(0x1400, FileKind::Df), 0);
    t.channel.sent.clear();
    t.channel.fail(SCARD_W_RESET_CARD);  // the VERIFY is refused: the card was reset
    const std::uint8_t pin[8] = {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(t.card.verify(0x1A, pin), 0);
    ASSERT_EQ(t.channel.sent.size(), 4u);
    EXPECT_EQ(t.channel.sent[1], bytes("00A4000C023F00"));
    EXPECT_EQ(t.channel.sent[2], bytes("00A4090C021400"));
    EXPECT_EQ(t.channel.sent[3], bytes("0020009A08 31323334FFFFFFFF"));
    EXPECT_EQ(t.card.currentPath(), std::vector<std::uint16_t>{0x1400});
}

TEST(PresentCheck, CardAtTheMfNeedsNoReselection) {
    Attached<M4Card> t;
    t.channel.fail(SCARD_W_RESET_CARD);
    CardAnswer answer;
    EXPECT_EQ(t.card.rawTransmit(bytes("00A4000C023F00"), answer), 0);
    EXPECT_EQ(t.channel.sent.size(), 2u);
}

TEST(M4RawTransmit, RetriesEmptyAnswersAndTransientErrorsAtMostNineTimes) {
    Attached<M4Card> t;
    t.channel.fallback = {SCARD_S_SUCCESS, {}};
    CardAnswer answer;
    EXPECT_NE(t.card.rawTransmit(bytes("00A4000C023F00"), answer), 0);
    EXPECT_EQ(t.channel.sent.size(), static_cast<std::size_t>(M4Card::kMaxRawAttempts));

    Attached<M4Card> u;
    u.channel.fail(SCARD_E_NOT_READY);
    u.channel.fail(SCARD_F_COMM_ERROR);
    u.channel.fail(SCARD_E_NOT_TRANSACTED);
    u.channel.answer(bytes("9000"));
    EXPECT_EQ(u.card.rawTransmit(bytes("00A4000C023F00"), answer), 0);
    EXPECT_EQ(u.channel.sent.size(), 4u);

    Attached<M4Card> v;  // a hard error is not retried
    v.channel.fail(SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(v.card.rawTransmit(bytes("00A4000C023F00"), answer), SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(v.channel.sent.size(), 1u);
}

TEST(M4RawTransmit, SixOneZeroZeroOnT0GivesExactlyOneGetResponse) {
    Attached<M4Card> t;
    t.card.adopt(0x1234, SCARD_PROTOCOL_T0);
    t.channel.answer(bytes("6100"));
    t.channel.answer(bytes("AABB 9000"));
    CardAnswer answer;
    EXPECT_EQ(t.card.rawTransmit(bytes("00B0000002"), answer), 0);
    ASSERT_EQ(t.channel.sent.size(), 2u);
    EXPECT_EQ(t.channel.sent[1], bytes("A0C0000000 00"));
    EXPECT_EQ(answer.data.size(), 2u);

    Attached<M4Card> t1;  // under T=1 the same answer is just a status word
    t1.channel.answer(bytes("6100"));
    EXPECT_EQ(t1.card.rawTransmit(bytes("00B0000002"), answer), 0x6100);
    EXPECT_EQ(t1.channel.sent.size(), 1u);
}

TEST(Commands, SelectionBytesAndPathBookkeeping) {
    Attached<M4Card> m4;
    EXPECT_EQ(m4.card.selectFile(0x3F00, FileKind::Df), 0);
    EXPECT_EQ(m4.card.selectFile(0x1400, FileKind::Df), 0);
    EXPECT_EQ(m4.card.selectFile(0x1003), 0);
    EXPECT_EQ(m4.channel.sent[0], bytes("00A4000C023F00"));
    EXPECT_EQ(m4.channel.sent[1], bytes("00A4090C021400"));
    EXPECT_EQ(m4.card.currentPath(), std::vector<std::uint16_t>{0x1400});
    EXPECT_EQ(m4.card.currentEf(), std::optional<std::uint16_t>(0x1003));
    // 1111 and DF01 count as DFs when the caller does not say.
    EXPECT_EQ(m4.card.selectFile(0x3F00), 0);
    EXPECT_EQ(m4.card.selectFile(0x1111), 0);
    EXPECT_EQ(m4.card.selectFile(0xDF01), 0);
    EXPECT_EQ(m4.card.currentPath(), (std::vector<std::uint16_t>{0x1111, 0xDF01}));

    Attached<SetecCard> setec;
    std::uint16_t size = 99;
    setec.channel.answer(bytes("6F07 8002012C 8201 01 9000"));
    EXPECT_EQ(setec.card.selectFile(0x1400, FileKind::Df, &size), 0);
    EXPECT_EQ(setec.channel.sent[0], bytes("00A40000021400"));
    EXPECT_EQ(size, 300);
    setec.channel.answer(bytes("6A82"));
    EXPECT_EQ(setec.card.selectFile(0x1500, FileKind::Df, &size), 0x6A82);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(setec.card.currentPath(), std::vector<std::uint16_t>{0x1400});
}

TEST(Commands, ReadAndUpdateBinaryAreChunked) {
    Attached<M4Card> t;
    t.channel.answer(std::vector<std::uint8_t>(128, 0xAA));
    t.channel.replies.back().response.insert(t.channel.replies.back().response.end(), {0x90, 0});
    t.channel.answer(std::vector<std::uint8_t>(128, 0xBB));
    t.channel.replies.back().response.insert(t.channel.replies.back().response.end(), {0x90, 0});
    t.channel.answer(std::vector<std::uint8_t>(44, 0xCC));
    t.channel.replies.back().response.insert(t.channel.replies.back().response.end(), {0x90, 0});
    std::vector<std::uint8_t> out(300);
    std::size_t read = 0;
    EXPECT_EQ(t.card.readBinary(0, out, &read), 0);
    EXPECT_EQ(read, 300u);
    ASSERT_EQ(t.channel.sent.size(), 3u);
    EXPECT_EQ(t.channel.sent[0], bytes("00B0000080"));
    EXPECT_EQ(t.channel.sent[1], bytes("00B0008080"));
    EXPECT_EQ(t.channel.sent[2], bytes("00B001002C"));
    EXPECT_EQ(out[127], 0xAA);
    EXPECT_EQ(out[128], 0xBB);
    EXPECT_EQ(out[299], 0xCC);

    Attached<SetecCard> u;
    std::vector<std::uint8_t> data(150, 0x11);
    EXPECT_EQ(u.card.updateBinary(0x10, data), 0);
    ASSERT_EQ(u.channel.sent.size(), 3u);
    EXPECT_EQ(u.channel.sent[0].size(), 5u + 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(u.channel.sent[1].begin(), u.channel.sent[1].begin() + 5),
              bytes("00D6005040"));
    EXPECT_EQ(std::vector<std::uint8_t>(u.channel.sent[2].begin(), u.channel.sent[2].begin() + 5),
              bytes("00D6009016"));
    // Offsets beyond READ BINARY's 15 bits are refused before anything is sent.
    std::vector<std::uint8_t> big(16);
    EXPECT_EQ(u.card.readBinary(0x7FF8, big), -1);
    EXPECT_EQ(u.channel.sent.size(), 3u);
}

TEST(Commands, PinAndKeyCommands) {
    Attached<M4Card> t;
    const std::uint8_t pin[4] = {'1', '2', '3', '4'};
    EXPECT_EQ(t.card.verify(0x10, pin), 0);
    EXPECT_EQ(t.channel.sent.back(), bytes("0020009004 31323334"));
    EXPECT_EQ(t.card.changeReferenceData(0x9A, std::nullopt, pin), 0);
    EXPECT_EQ(t.channel.sent.back(), bytes("0024019A04 31323334"));
    EXPECT_EQ(t.card.changeReferenceData(0x10, std::span<const std::uint8_t>(pin), pin), 0);
    EXPECT_EQ(t.channel.sent.back(), bytes("0024001008 3132333431323334"));
    const std::uint8_t access[3] = {0x83, 0x01, 0x1A};
    EXPECT_EQ(t.card.putDataPinAccess(access), 0);
    EXPECT_EQ(t.channel.sent.back(), bytes("00DA016E03 83011A"));
}

TEST(Commands, ExternalAuthenticateMacsTheWholeChallenge) {
    const auto key = bytes("5E1A9C03D27B486F0C93A15E7D2B64F8019E3C57A2D6B40F");
    for (std::size_t input : {std::size_t{128}, std::size_t{5}}) {
        Attached<M4Card> t;
        const std::size_t n = std::max<std::size_t>(input, 8);
        std::vector<std::uint8_t> challenge(n);
        for (std::size_t i = 0; i < n; ++i) {
            challenge[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        auto reply = challenge;
        reply.insert(reply.end(), {0x90, 0x00});
        t.channel.answer(reply);
        EXPECT_EQ(t.card.externalAuthenticate(0x1C, key, input), 0);
        ASSERT_EQ(t.channel.sent.size(), 2u);
        EXPECT_EQ(t.channel.sent[0], (std::vector<std::uint8_t>{0x00, 0x84, 0x00, 0x00, 0x00,
                                                                static_cast<std::uint8_t>(n)}));
        crypto::Block mac =
            crypto::retailMac(std::span<const std::uint8_t, 24>(key.data(), 24), challenge);
        auto expected = bytes("0082009C08");
        expected.insert(expected.end(), mac.begin(), mac.end());
        EXPECT_EQ(t.channel.sent[1], expected);
        EXPECT_TRUE(t.card.isAuthenticated(0x1C));
    }
    Attached<M4Card> refused;
    refused.channel.answer(bytes("6985"));
    EXPECT_EQ(refused.card.externalAuthenticate(0x1C, key, 128), 0x6985);
    EXPECT_EQ(refused.channel.sent.size(), 1u);
    EXPECT_FALSE(refused.card.isAuthenticated(0x1C));
    EXPECT_EQ(refused.card.externalAuthenticate(0x1C, std::span(key).first(10), 8), -1);
}

TEST(SecureMessaging, OnlyListedInstructionsAreWrappedAndOffWipesTheKeys) {
    const auto key = bytes("5E1A9C03D27B486F0C93A15E7D2B64F8019E3C57A2D6B40F");
    Attached<M4Card> t;
    const std::uint8_t list[2] = {0x20, 0x24};
    t.card.setSecureMessaging(true, key.data(), key.data(), list);
    const std::uint8_t access[3] = {0x83, 0x01, 0x1A};
    EXPECT_EQ(t.card.putDataPinAccess(access), 0);  // DA is not listed: sent plain
    ASSERT_EQ(t.channel.sent.size(), 1u);

    t.channel.answer(bytes("0102030405060708 9000"));  // the card challenge
    t.channel.answer(bytes("9000"));                   // host random accepted
    t.channel.answer(bytes("6982"));                   // a plain refusal of the protected command
    const std::uint8_t pin[8] = {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(t.card.verify(0x1A, pin), 0x6982);
    ASSERT_EQ(t.channel.sent.size(), 4u);
    EXPECT_EQ(t.channel.sent[1], bytes("008400000008"));
    EXPECT_EQ(std::vector<std::uint8_t>(t.channel.sent[2].begin(), t.channel.sent[2].begin() + 5),
              bytes("8086000008"));
    EXPECT_EQ(t.channel.sent[3][0], 0x0C);
    EXPECT_EQ(t.channel.sent[3][1], 0x20);

    t.card.setSecureMessaging(false, nullptr, nullptr, {});
    EXPECT_FALSE(t.card.secureMessagingOn());
    for (auto buffer : t.card.ownedBuffers()) {
        for (std::size_t i = 0; i + 8 <= buffer.size(); ++i) {
            EXPECT_NE(0, std::memcmp(buffer.data() + i, key.data(), 8)) << "key left in a buffer";
        }
    }
}

}  // namespace
}  // namespace cardolo::testing
