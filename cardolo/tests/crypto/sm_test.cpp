// Tests of the secure-messaging wrap and of the protected-answer check.
#include <gtest/gtest.h>

#include <stdexcept>

#include "hex.h"
#include "sm/secure_messaging.h"
#include "sm/tlv.h"

namespace cardolo::sm {
namespace {

using test::Bytes;
using test::fromHex;
using test::toHex;

const Bytes kDefaultKey = fromHex("5E1A9C03D27B486F0C93A15E7D2B64F8019E3C57A2D6B40F");
const Bytes kOtherKey = fromHex("0123456789ABCDEFFEDCBA98765432100123456789ABCDEF");
const Bytes kChallenge = fromHex("1122334455667788");
const Bytes kReadCommand = fromHex("00B000000A");

std::span<const std::uint8_t, 24> k24(const Bytes& key) {
    return std::span<const std::uint8_t, 24>(key.data(), 24);
}

std::span<const std::uint8_t, 8> c8(const Bytes& challenge) {
    return std::span<const std::uint8_t, 8>(challenge.data(), 8);
}

const SessionKeys kKeys{k24(kDefaultKey), k24(kDefaultKey)};

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes zeroPadded(Bytes b) {
    b.resize((b.size() + 7) / 8 * 8, 0);
    return b;
}

// Card side of a protected answer: the objects, then 8E over challenge, the command header with
// CLA' and the MAC-covered object (if any), then the status word.
Bytes cardAnswer(const Bytes& objects, const Bytes& covered, const Bytes& sw,
                 const Bytes& command = kReadCommand, const Bytes& challenge = kChallenge) {
    const Bytes header = {static_cast<std::uint8_t>((command[0] & 0xFC) | 0x0C), command[1],
                          command[2], command[3]};
    const Bytes macInput = concat({challenge, header, zeroPadded(covered), Bytes(4, 0)});
    const crypto::Block mac = crypto::retailMac(k24(kDefaultKey), macInput);
    return concat({objects, {0x8E, 0x08}, Bytes(mac.begin(), mac.end()), sw});
}

Bytes encipher(const Bytes& plain) {
    const SecureBytes c = crypto::tdesCbcEncrypt(k24(kDefaultKey), plain);
    return Bytes(c.begin(), c.end());
}

Bytes object(std::uint8_t tag, const Bytes& value) {
    return concat({{tag, static_cast<std::uint8_t>(value.size())}, value});
}

CheckedAnswer check(const Bytes& answer, std::size_t capacity = 256,
                    const Bytes& command = kReadCommand) {
    return checkAnswer(answer, command, c8(kChallenge), kKeys, capacity);
}

std::string dataHex(const CheckedAnswer& a) {
    return toHex(a.data);
}

TEST(WrapCommand, MatchesIndependentlyComputedApdus) {
    int count = 0;
    for (const auto& line : test::readVectorFile("sm_vectors.txt")) {
        if (line.fields.at(0) != "wrap") {
            continue;
        }
        SCOPED_TRACE("sm_vectors.txt line " + std::to_string(line.lineNumber));
        ASSERT_EQ(line.fields.size(), 5u);
        const Bytes key = fromHex(line.fields[1]);
        const Bytes challenge = fromHex(line.fields[2]);
        const SessionKeys keys{k24(key), k24(key)};
        EXPECT_EQ(toHex(wrapCommand(fromHex(line.fields[3]), c8(challenge), keys)), line.fields[4]);
        ++count;
    }
    EXPECT_GE(count, 5);
}

TEST(WrapCommand, LayoutHoldsForEveryDataLengthUpToTheShortApduLimit) {
    const SessionKeys keys{k24(kOtherKey), k24(kDefaultKey)};
    for (std::size_t length = 0; length <= 239; ++length) {
        SCOPED_TRACE("data length " + std::to_string(length));
        Bytes command = {0x00, 0xD6, 0x00, 0x00, static_cast<std::uint8_t>(length)};
        for (std::size_t i = 0; i < length; ++i) {
            command.push_back(static_cast<std::uint8_t>(i));
        }
        const SecureBytes wrapped = wrapCommand(command, c8(kChallenge), keys);
        ASSERT_GE(wrapped.size(), 6u);
        EXPECT_EQ(wrapped[4], wrapped.size() - 6) << "Lc must count DO 87 and DO 8E";
        EXPECT_EQ(wrapped.back(), 0x00);
        const auto body = std::span(wrapped).subspan(5, wrapped.size() - 6);
        const auto objects = readTlvList(body);
        ASSERT_TRUE(objects.has_value());
        ASSERT_EQ(objects->size(), 2u);
        EXPECT_EQ((*objects)[0].tag, 0x87u);
        EXPECT_EQ((*objects)[1].tag, 0x8Eu);
        EXPECT_EQ((*objects)[1].value.size(), 8u);
        const auto value = (*objects)[0].value;
        ASSERT_EQ(value[0], 0x01);
        // Deciphered under the encryption key (not the MAC key) it gives data 80 00...
        const SecureBytes plain = crypto::tdesCbcDecrypt(k24(kDefaultKey), value.subspan(1));
        EXPECT_EQ(plain.size(), (length / 8 + 1) * 8);
        EXPECT_EQ(toHex(std::span(plain).first(length)), toHex(std::span(command).subspan(5)));
        EXPECT_EQ(plain[length], 0x80);
        for (std::size_t i = length + 1; i < plain.size(); ++i) {
            EXPECT_EQ(plain[i], 0x00);
        }
    }
    // 240 bytes pad to 248 and the protected command would need Lc 262.
    Bytes tooLong = {0x00, 0xD6, 0x00, 0x00, 240};
    tooLong.resize(5 + 240, 0x11);
    EXPECT_THROW(wrapCommand(tooLong, c8(kChallenge), keys), std::invalid_argument);
}

TEST(WrapCommand, ProtectedClassDependsOnlyOnTheHighNibble) {
    auto wrapWithClass = [](std::uint8_t cla) {
        const Bytes command = {cla, 0x20, 0x00, 0x9A, 0x02, 0x31, 0x32};
        return toHex(wrapCommand(command, c8(kChallenge), kKeys));
    };
    // The MAC covers (CLA & FC) | 0C: the low four bits of the class never matter, the high
    // four (chaining, proprietary class) always do.
    EXPECT_EQ(wrapWithClass(0x00), wrapWithClass(0x03));
    EXPECT_EQ(wrapWithClass(0x00), wrapWithClass(0x0C));
    EXPECT_EQ(wrapWithClass(0x00), wrapWithClass(0x0F));
    EXPECT_NE(wrapWithClass(0x00), wrapWithClass(0x10));
    EXPECT_NE(wrapWithClass(0x80), wrapWithClass(0x00));
    EXPECT_EQ(wrapWithClass(0x80), wrapWithClass(0x83));
    // The class actually sent is always 0C.
    EXPECT_EQ(wrapWithClass(0x83).substr(0, 2), "0C");
}

TEST(WrapCommand, RefusesShortCommandsAndLcPastTheData) {
    EXPECT_THROW(wrapCommand(fromHex("0020009A"), c8(kChallenge), kKeys), std::invalid_argument);
    EXPECT_THROW(wrapCommand(Bytes{}, c8(kChallenge), kKeys), std::invalid_argument);
    EXPECT_THROW(wrapCommand(fromHex("0020009A08313233"), c8(kChallenge), kKeys),
                 std::invalid_argument);
    EXPECT_THROW(wrapCommand(fromHex("0020009AFF31"), c8(kChallenge), kKeys),
                 std::invalid_argument);
    // A trailing Le after the data is accepted and replaced by the protected command's 00.
    EXPECT_EQ(toHex(wrapCommand(fromHex("0020009A023132"), c8(kChallenge), kKeys)),
              toHex(wrapCommand(fromHex("0020009A02313210"), c8(kChallenge), kKeys)));
}

TEST(CheckAnswer, AcceptsIndependentlyComputedAnswers) {
    int count = 0;
    for (const auto& line : test::readVectorFile("sm_vectors.txt")) {
        if (line.fields.at(0) != "answer") {
            continue;
        }
        SCOPED_TRACE("sm_vectors.txt line " + std::to_string(line.lineNumber));
        ASSERT_EQ(line.fields.size(), 7u);
        const Bytes key = fromHex(line.fields[1]);
        const Bytes challenge = fromHex(line.fields[2]);
        const SessionKeys keys{k24(key), k24(key)};
        const CheckedAnswer result =
            checkAnswer(fromHex(line.fields[4]), fromHex(line.fields[3]), c8(challenge), keys, 256);
        EXPECT_EQ(result.sw, std::stoi(line.fields[5], nullptr, 16));
        EXPECT_EQ(toHex(result.data), line.fields[6] == "-" ? "" : line.fields[6]);
        ++count;
    }
    EXPECT_GE(count, 5);
}

TEST(CheckAnswer, StatusWordOnlyAnswersPassThroughAndShorterOnesAreRefused) {
    for (const char* sw : {"9000", "6982", "63C2", "6A82"}) {
        const CheckedAnswer a = check(fromHex(sw));
        EXPECT_EQ(a.sw, std::stoi(sw, nullptr, 16));
        EXPECT_TRUE(a.data.empty());
    }
    EXPECT_EQ(check(Bytes{}).sw, 0x6988);
    EXPECT_EQ(check(fromHex("90")).sw, 0x6988);
}

TEST(CheckAnswer, GoodMacWithoutDataGivesTheStatusWord) {
    const CheckedAnswer a = check(cardAnswer({}, {}, {0x90, 0x00}));
    EXPECT_EQ(a.sw, 0x9000);
    EXPECT_TRUE(a.data.empty());
    // The card's own status is reported once the MAC is good, failing or not.
    EXPECT_EQ(check(cardAnswer({}, {}, {0x63, 0xC1})).sw, 0x63C1);
}

TEST(CheckAnswer, MissingOrAlteredMacGives6C00) {
    const Bytes do87 = object(0x87, concat({{0x01}, encipher(fromHex("3132333480000000"))}));
    const Bytes good = cardAnswer(do87, do87, {0x90, 0x00});
    ASSERT_EQ(check(good).sw, 0x9000);
    ASSERT_EQ(dataHex(check(good)), "31323334");

    // Every single-bit change of the MAC or of the enciphered object is caught.
    const std::size_t macStart = do87.size() + 2;
    for (std::size_t byte = 0; byte < macStart + 8; ++byte) {
        if (byte == 0 || byte == 1 || byte == do87.size() || byte == do87.size() + 1) {
            continue;  // tags and lengths: a change there is a TLV fault, tested elsewhere
        }
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = good;
            bad[byte] ^= static_cast<std::uint8_t>(1 << bit);
            const CheckedAnswer a = check(bad);
            EXPECT_EQ(a.sw, 0x6C00) << "byte " << byte << " bit " << bit;
            EXPECT_TRUE(a.data.empty());
        }
    }
    // No 8E at all, an 8E of the wrong length, another challenge, another command header.
    EXPECT_EQ(check(concat({do87, {0x90, 0x00}})).sw, 0x6C00);
    Bytes shortMac = good;
    shortMac.erase(shortMac.end() - 3);
    shortMac[do87.size() + 1] = 0x07;
    EXPECT_EQ(check(shortMac).sw, 0x6C00);
    EXPECT_EQ(checkAnswer(good, kReadCommand, c8(fromHex("1122334455667789")), kKeys, 256).sw,
              0x6C00);
    EXPECT_EQ(check(good, 256, fromHex("00B000010A")).sw, 0x6C00);
    // The same command header with other low class bits still matches.
    EXPECT_EQ(check(good, 256, fromHex("03B000000A")).sw, 0x9000);
}

TEST(CheckAnswer, PlainAndEvenTaggedDataObjects) {
    // 81: plain data, covered by the MAC.
    const Bytes do81 = object(0x81, fromHex("AABBCCDD"));
    EXPECT_EQ(dataHex(check(cardAnswer(do81, do81, {0x90, 0x00}))), "AABBCCDD");
    Bytes tampered = cardAnswer(do81, do81, {0x90, 0x00});
    tampered[2] ^= 0xFF;
    EXPECT_EQ(check(tampered).sw, 0x6C00);

    // 86 and 80 are even-tagged and so not covered by the card's MAC; their data are still
    // taken (86 deciphered), in the order 87, 86, 81, 80.
    const Bytes do86 = object(0x86, concat({{0x01}, encipher(fromHex("0102030405800000"))}));
    const CheckedAnswer a86 = check(cardAnswer(do86, {}, {0x90, 0x00}));
    EXPECT_EQ(a86.sw, 0x9000);
    EXPECT_EQ(dataHex(a86), "0102030405");
    const Bytes do80 = object(0x80, fromHex("55"));
    EXPECT_EQ(dataHex(check(cardAnswer(do80, {}, {0x90, 0x00}))), "55");
    // With 86 and 81 both present the 86 data are returned but the MAC still covers 81.
    const CheckedAnswer mixed = check(cardAnswer(concat({do86, do81}), do81, {0x90, 0x00}));
    EXPECT_EQ(mixed.sw, 0x9000);
    EXPECT_EQ(dataHex(mixed), "0102030405");
    EXPECT_EQ(check(cardAnswer(concat({do86, do81}), {}, {0x90, 0x00})).sw, 0x6C00);
    // Unknown objects (a processing status 99 here) are skipped.
    const Bytes do99 = object(0x99, fromHex("9000"));
    EXPECT_EQ(dataHex(check(cardAnswer(concat({do99, do81}), do81, {0x90, 0x00}))), "AABBCCDD");
}

TEST(CheckAnswer, MalformedEncipheredDataGives6988) {
    const auto withMac = [](const Bytes& value) {
        const Bytes do87 = object(0x87, value);
        return check(cardAnswer(do87, do87, {0x90, 0x00}));
    };
    const Bytes block = encipher(fromHex("4142434445464780"));
    ASSERT_EQ(dataHex(withMac(concat({{0x01}, block}))), "41424344454647");
    // Cryptogram not whole blocks, empty, or no indicator byte at all.
    EXPECT_EQ(withMac(concat({{0x01}, Bytes(block.begin(), block.end() - 1)})).sw, 0x6988);
    EXPECT_EQ(withMac({0x01}).sw, 0x6988);
    EXPECT_EQ(withMac({}).sw, 0x6988);
    // Deciphered text without 80 padding, or with "padding" longer than one block.
    EXPECT_EQ(withMac(concat({{0x01}, encipher(fromHex("4142434445464748"))})).sw, 0x6988);
    EXPECT_EQ(withMac(concat({{0x01}, encipher(Bytes(8, 0x00))})).sw, 0x6988);
    EXPECT_EQ(withMac(concat({{0x01}, encipher(fromHex("4180000000000000 0000000000000000"))})).sw,
              0x6988);
    // An 80 byte inside the data is data; only the padding's 80 ends it.
    EXPECT_EQ(dataHex(withMac(concat({{0x01}, encipher(fromHex("8000808000800000"))}))),
              "8000808000");
    const CheckedAnswer exact = withMac(concat({{0x01}, encipher(fromHex("8000000000000000"))}));
    EXPECT_EQ(exact.sw, 0x9000);
    EXPECT_TRUE(exact.data.empty());
}

TEST(CheckAnswer, TruncatedObjectsGive6988) {
    const Bytes do87 = object(0x87, concat({{0x01}, encipher(fromHex("3132333480000000"))}));
    const Bytes good = cardAnswer(do87, do87, {0x90, 0x00});
    const Bytes body(good.begin(), good.end() - 2);
    // Cutting the objects anywhere but at an object boundary is a TLV fault; the status word
    // stays at the end as a card would send it.
    for (std::size_t cut = 1; cut < body.size(); ++cut) {
        if (cut == do87.size()) {
            continue;
        }
        const Bytes truncated = concat({Bytes(body.begin(), body.begin() + cut), {0x90, 0x00}});
        EXPECT_EQ(check(truncated).sw, 0x6988) << "cut at " << cut;
    }
    EXPECT_EQ(check(fromHex("8E819000")).sw, 0x6988);
}

TEST(CheckAnswer, DataLongerThanTheCallersBufferGives6A80) {
    const Bytes do81 = object(0x81, fromHex("00112233445566778899"));
    const Bytes answer = cardAnswer(do81, do81, {0x90, 0x00});
    EXPECT_EQ(check(answer, 10).sw, 0x9000);
    EXPECT_EQ(dataHex(check(answer, 10)), "00112233445566778899");
    const CheckedAnswer tooSmall = check(answer, 9);
    EXPECT_EQ(tooSmall.sw, 0x6A80);
    EXPECT_TRUE(tooSmall.data.empty());
    EXPECT_EQ(check(cardAnswer({}, {}, {0x90, 0x00}), 0).sw, 0x9000);
}

TEST(CheckAnswer, AnswersTheWrapOfTheSameCommand) {
    // A round trip through both directions with separate MAC and encryption keys, as a card
    // holding the same session keys would answer.
    const Bytes command = fromHex("0024009A10 3132333435363738 3837363534333231");
    const SessionKeys keys{k24(kOtherKey), k24(kDefaultKey)};
    const SecureBytes wrapped = wrapCommand(command, c8(kChallenge), keys);
    EXPECT_EQ(wrapped[0], 0x0C);
    const Bytes plain = fromHex("CAFE80");
    const Bytes do87 = object(0x87, concat({{0x01}, encipher(zeroPadded(plain))}));
    const Bytes header = {0x0C, 0x24, 0x00, 0x9A};
    const crypto::Block mac = crypto::retailMac(
        k24(kOtherKey), concat({kChallenge, header, zeroPadded(do87), Bytes(4, 0)}));
    const Bytes answer = concat({do87, {0x8E, 0x08}, Bytes(mac.begin(), mac.end()), {0x90, 0x00}});
    const CheckedAnswer a = checkAnswer(answer, command, c8(kChallenge), keys, 16);
    EXPECT_EQ(a.sw, 0x9000);
    EXPECT_EQ(dataHex(a), "CAFE");
    EXPECT_THROW(checkAnswer(answer, fromHex("0024"), c8(kChallenge), keys, 16),
                 std::invalid_argument);
}

}  // namespace
}  // namespace cardolo::sm
