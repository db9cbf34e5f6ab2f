// The PIN and PUK exports of cardolo.so on the card bench: what reaches the card, what the card
// ends up holding, and the result codes of each failing step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "card_bench.h"
#include "cardolo_bench_fixture.h"

namespace cardolo::testing {
namespace {

using vantor::bench::CardBenchTest;
using vantor::bench::Exchange;
using vantor::bench::toHex;

// The values the shipped CNS scenarios hold.
constexpr const char* kPin = "12345678";
constexpr const char* kPuk = "87654321";
constexpr const char* kDsPin = "11223344";
constexpr const char* kDsPuk = "44332211";

Bytes b(const char* text) {
    return reinterpret_cast<Bytes>(text);
}
int32_t len(const char* text) {
    return text ? static_cast<int32_t>(std::strlen(text)) : 0;
}

class PinExports : public CardoloBenchTest {
  protected:
    int32_t verify(const char* pin, const char* puk, const char* dsPin, const char* dsPuk,
                   int32_t flag = 1, Bytes key = nullptr, Bytes serial = nullptr) {
        return api.VerifyPinPuk(index(), serial, b(pin), len(pin), b(puk), len(puk), b(dsPin),
                                len(dsPin), b(dsPuk), len(dsPuk), key, flag);
    }
    int32_t change(const char* pin, const char* newPin, const char* puk, const char* newPuk,
                   const char* dsPin, const char* newDsPin, int32_t flag = 1) {
        return api.ChangePinPuk(index(), nullptr, b(pin), len(pin), b(newPin), len(newPin), b(puk),
                                len(puk), b(newPuk), len(newPuk), b(dsPin), len(dsPin), b(newDsPin),
                                len(newDsPin), nullptr, 0, nullptr, 0, nullptr, flag);
    }
    std::size_t countPrefix(const std::string& prefix) {
        auto all = commands();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](const auto& c) { return c.rfind(prefix, 0) == 0; }));
    }
};

TEST_F(PinExports, ChangingOnlyThePinLeavesTheOtherValuesAlone) {
    insert("cns");
    ASSERT_EQ(change(kPin, "2468", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(countPrefix("0024"), 1u);
    EXPECT_EQ(countPrefix("0024011008"
                          "32343638FFFFFFFF"),
              1u)
        << "new value FF-padded, P1 01, P2 10";
    EXPECT_EQ(verify("2468", kPuk, kDsPin, kDsPuk), 0);
    EXPECT_EQ(verify(kPin, nullptr, nullptr, nullptr), -22) << "the old PIN is gone";
}

TEST_F(PinExports, TooLongValuesAreRefusedBeforeAnyCardTraffic) {
    insert("cns");
    EXPECT_EQ(verify("123456789", nullptr, nullptr, nullptr), -60);
    EXPECT_EQ(verify(nullptr, "123456789", nullptr, nullptr), -61);
    EXPECT_EQ(verify(nullptr, nullptr, "123456789", nullptr), -62);
    EXPECT_EQ(verify(nullptr, nullptr, nullptr, "123456789"), -63);
    EXPECT_EQ(change(kPin, "123456789", nullptr, nullptr, nullptr, nullptr), -56);
    EXPECT_EQ(change("123456789", "1234", nullptr, nullptr, nullptr, nullptr), -60);
    EXPECT_EQ(change(nullptr, nullptr, nullptr, nullptr, kDsPin, "123456789"), -58);
    EXPECT_EQ(api.VerifyPinPuk(index(), nullptr, b(kPin), -1, nullptr, 0, nullptr, 0, nullptr, 0,
                               nullptr, 0),
              -60)
        << "a negative length is never a PIN";
    EXPECT_EQ(
        api.UnblockPin(index(), nullptr, b(kPuk), 9, b("1"), 1, nullptr, 0, nullptr, 0, nullptr, 0),
        -61);
    EXPECT_EQ(
        api.ReactivatePin(index(), nullptr, b(kDsPuk), 8, b("123456789"), 9, 0, 0, nullptr, 1),
        -62);
    EXPECT_TRUE(bench().exchanges(0).empty()) << "nothing was sent to the card";
}

TEST_F(PinExports, NothingToDoAndNullArguments) {
    insert("cns");
    EXPECT_EQ(verify(nullptr, nullptr, nullptr, nullptr), -64);
    EXPECT_EQ(change(kPin, nullptr, nullptr, "1234", nullptr, nullptr), -64)
        << "no complete change";
    EXPECT_TRUE(bench().exchanges(0).empty());
    EXPECT_EQ(api.UnblockPin(index(), nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                             nullptr, 0),
              0);
    EXPECT_EQ(countPrefix("0020"), 0u);
    EXPECT_EQ(api.ReactivatePin(index(), nullptr, nullptr, 0, nullptr, 0, 0, 0, nullptr, 1), -64);
    EXPECT_EQ(verify(kPin, nullptr, nullptr, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(
        api.VerifyPinPuk(0, nullptr, b(kPin), 8, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0),
        -2);
}

TEST_F(PinExports, UnpaddedCardGetsTheValueAgainAndTheResetCarriesThatForm) {
    insert("cns-unpadded");  // PIN 10 = 12345, PUK 11 = 876543, stored without padding
    ASSERT_EQ(api.UnblockPin(index(), nullptr, b("876543"), 6, b("54321"), 5, nullptr, 0, nullptr,
                             0, nullptr, 0),
              0);
    const auto sent = commands();
    auto it = std::find(sent.begin(), sent.end(), "0020009108383736353433FFFF");
    ASSERT_NE(it, sent.end()) << "the padded form first";
    ASSERT_NE(it + 1, sent.end());
    EXPECT_EQ(*(it + 1), "0020009106383736353433") << "then the value as it is";
    EXPECT_EQ(sent.back(),
              "002C00100E"
              "383736353433"
              "3534333231FFFFFF")
        << "Lc = PUK length + 8, the PUK as the card took it";
    EXPECT_EQ(verify("54321", nullptr, nullptr, nullptr), 0);
}

TEST_F(PinExports, SecureMessagingKeysAndTheCardsVerdict) {
    insert("cns-sm-required");
    EXPECT_EQ(verify(nullptr, nullptr, kDsPin, nullptr, 1, nullptr), 0) << "built-in key";
    ASSERT_FALSE(bench().exchanges(0).empty());
    const Exchange last = bench().exchanges(0).back();
    ASSERT_TRUE(last.plain.has_value());
    EXPECT_EQ(toHex(*last.plain), "0020009A083131323233333434");

    std::vector<unsigned char> key(24);
    std::memcpy(key.data(),
                "\x5E\x1A\x9C\x03\xD2\x7B\x48\x6F\x0C\x93\xA1\x5E\x7D\x2B\x64\xF8\x01\x9E\x3C\x57"
                "\xA2\xD6\xB4\x0F",
                24);
    EXPECT_EQ(verify(nullptr, nullptr, kDsPin, nullptr, 1, key.data()), 0) << "the same, given";
    key[0] ^= 0x10;
    EXPECT_EQ(verify(nullptr, nullptr, kDsPin, nullptr, 1, key.data()), -10) << "wrong key";
    EXPECT_NE(verify(nullptr, nullptr, kDsPin, nullptr, 0), 0) << "plain where protection is due";

    // A change or an unblock under the wrong key is a secure-messaging failure, not a wrong
    // value, and leaves the signature PIN as it was.
    EXPECT_EQ(api.ChangePinPuk(index(), nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                               b(kDsPin), 8, b("6666"), 4, nullptr, 0, nullptr, 0, key.data(), 1),
              -10);
    EXPECT_EQ(api.UnblockPin(index(), nullptr, nullptr, 0, nullptr, 0, b(kDsPuk), 8, b("6666"), 4,
                             key.data(), 1),
              -10);
    EXPECT_EQ(verify(nullptr, nullptr, kDsPin, nullptr), 0);
}

TEST_F(PinExports, ChangedReferenceSettingChangesP2) {
    insert("cns");
    api.ChangeSetting("SETTING_CNS_PIN", 0x12);
    const int32_t rc = verify(kPin, nullptr, nullptr, nullptr);
    api.ChangeSetting("SETTING_CNS_PIN", 0x10);
    EXPECT_EQ(rc, -22) << "the card has no PIN 12";
    EXPECT_EQ(countPrefix("0020009208"), 1u);
    EXPECT_EQ(countPrefix("0020009008"), 0u);
}

TEST_F(PinExports, BlockedIsToldApartFromWrong) {
    insert("cns");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(verify("00000000", nullptr, nullptr, nullptr), -22);
    }
    EXPECT_EQ(verify(kPin, nullptr, nullptr, nullptr), -32) << "blocked even for the right PIN";
    for (int i = 0; i < 3; ++i) {
        verify(nullptr, nullptr, "00000000", nullptr);
    }
    EXPECT_EQ(verify(nullptr, nullptr, kDsPin, nullptr), -34);
    // The PUK unblocks the card-holder PIN with a new value.
    EXPECT_EQ(api.UnblockPin(index(), nullptr, b(kPuk), 8, b("9999"), 4, nullptr, 0, nullptr, 0,
                             nullptr, 0),
              0);
    EXPECT_EQ(verify("9999", nullptr, nullptr, nullptr), 0);
    // And the signature PUK the signature PIN, under secure messaging with the built-in key.
    EXPECT_EQ(api.UnblockPin(index(), nullptr, nullptr, 0, nullptr, 0, b(kDsPuk), 8, b("5555"), 4,
                             nullptr, 1),
              0);
    EXPECT_EQ(verify(nullptr, nullptr, "5555", nullptr), 0);
    EXPECT_EQ(api.UnblockPin(index(), nullptr, b("00000000"), 8, b("1"), 1, nullptr, 0, nullptr, 0,
                             nullptr, 0),
              -23);
}

TEST_F(PinExports, AFailureHalfWayLeavesTheEarlierStepsDone) {
    insert("cns");
    EXPECT_EQ(change(kPin, "2222", "00000000", "99999999", nullptr, nullptr), -23);
    EXPECT_EQ(countPrefix("0024"), 1u) << "the PUK was never changed";
    EXPECT_EQ(verify("2222", kPuk, nullptr, nullptr), 0);
    EXPECT_EQ(change(nullptr, nullptr, nullptr, nullptr, kDsPin, "7777"), 0);
    EXPECT_EQ(countPrefix("0024019A08"
                          "37373737FFFFFFFF"),
              1u)
        << "signature reference with 80";
    EXPECT_EQ(verify(nullptr, nullptr, "7777", nullptr), 0);
}

TEST_F(PinExports, SerialMismatchStopsBeforeAnyPin) {
    insert("cns");
    const char* other = "0000000000000000";
    EXPECT_EQ(verify(kPin, nullptr, nullptr, nullptr, 1, nullptr, b(other)), -65);
    EXPECT_EQ(countPrefix("0020"), 0u);
    EXPECT_EQ(verify(kPin, nullptr, nullptr, nullptr, 1, nullptr, b("1000000000000014")), 0);
    int32_t v[8] = {0};
    EXPECT_EQ(
        api.GetPinLimit(index(), b(other), &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]),
        -65);
}

TEST_F(PinExports, PinLimits) {
    insert("cns");
    int32_t v[8];
    std::fill(std::begin(v), std::end(v), -1);
    EXPECT_EQ(
        api.GetPinLimit(index(), nullptr, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]),
        0);
    EXPECT_EQ(std::vector<int32_t>(std::begin(v), std::end(v)),
              (std::vector<int32_t>{6, 8, 8, 8, 6, 8, 8, 8}));
    EXPECT_EQ(api.GetPinLimit(index(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr),
              0);
    EXPECT_TRUE(bench().exchanges(0).empty()) << "no APDU without a serial to check";
    EXPECT_EQ(api.GetPinLimit(0, nullptr, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]),
              -2);
}

TEST_F(PinExports, DeactivateAuthenticatesAndReactivateRestores) {
    insert("cns");
    ASSERT_EQ(api.DeactivatePin(index(), nullptr, nullptr, 1), 0);
    EXPECT_EQ(countPrefix("008400000080"), 1u) << "a 128-byte challenge";
    EXPECT_EQ(countPrefix("0082009C08"), 1u);
    EXPECT_EQ(countPrefix("0004000002001A"), 1u);
    EXPECT_EQ(verify(nullptr, nullptr, kDsPin, nullptr), -24) << "deactivated";

    ASSERT_EQ(api.ReactivatePin(index(), nullptr, b(kDsPuk), 8, nullptr, 0, 0, 0, nullptr, 1), 0);
    EXPECT_EQ(countPrefix("0044000002001A"), 1u);
    EXPECT_EQ(countPrefix("00DA016E10"
                          "8302001A"
                          "860A001A1BFF1BFFFFFFFFFF"),
              1u)
        << "the access data is rewritten even without a new PIN";
    EXPECT_EQ(countPrefix("002C"), 0u);
    EXPECT_EQ(verify(nullptr, nullptr, kDsPin, nullptr), 0);

    // Deactivation without the authentication is refused by the card (once a reset has cleared
    // the authentication of the first deactivation: the card keeps it while it stays powered).
    ASSERT_EQ(vantor::bench::resetCardFromOtherApplication(vantor::bench::CardBench::readerName(0)),
              SCARD_S_SUCCESS);
    EXPECT_EQ(api.LockPin(index(), nullptr, nullptr, 0), -26);
    // With a wrong key the card authentication fails.
    std::vector<unsigned char> wrong(24, 0x42);
    EXPECT_EQ(api.LockPin(index(), nullptr, wrong.data(), 1), -27);
    // Reactivation with a new PIN resets it.
    ASSERT_EQ(api.DeactivatePin(index(), nullptr, nullptr, 1), 0);
    ASSERT_EQ(api.ReactivatePin(index(), nullptr, b(kDsPuk), 8, b("8888"), 4, 0, 0, nullptr, 1), 0);
    EXPECT_EQ(verify(nullptr, nullptr, "8888", nullptr), 0);
    EXPECT_EQ(api.ReactivatePin(index(), nullptr, b("00000000"), 8, nullptr, 0, 0, 0, nullptr, 1),
              -25);
}

TEST_F(PinExports, UnblockOfTheOtherFamilies) {
    insert("m4");  // PIN 81 blocked, PUK 82 = 12345678, in DF 0000/1111
    EXPECT_EQ(api.UnblockM4(index(), "12345678", "123456789"), -64) << "9 characters";
    EXPECT_TRUE(bench().exchanges(0).empty());
    EXPECT_EQ(api.UnblockM4(index(), "00000000", "4321"), -32);
    ASSERT_EQ(api.UnblockM4(index(), "12345678", "4321"), 0);
    EXPECT_EQ(commands().back(),
              "002C008110"
              "3132333435363738"
              "3433323100000000");
    ASSERT_TRUE(bench().removeCard(0));

    insert("starcos");
    ASSERT_EQ(api.UnblockStarcos(index(), "12345678", "333333"), 0);
    const auto sent = commands();
    EXPECT_EQ(countPrefix("8024309610"
                          "3132333435363738"
                          "3333333333330000"),
              1u);
    EXPECT_EQ(countPrefix("802430"
                          "9A10"),
              1u);
    EXPECT_EQ(api.UnblockStarcos(index(), nullptr, "1"), -64);
    ASSERT_TRUE(bench().removeCard(0));

    insert("setec");
    EXPECT_EQ(api.UnblockSetec(index(), "x", "y"), 0);
    EXPECT_TRUE(bench().exchanges(0).empty());
    EXPECT_EQ(api.UnblockM4(index(), "12345678", "4321"), -4) << "no DF 1111 on this card";
}

}  // namespace
}  // namespace cardolo::testing
