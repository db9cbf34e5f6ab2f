// The suite's additions to the PKCS#11 header: result folding, field helpers, platform layout.
#include "pkcs11/pkcs11.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace vantor::pkcs11 {
namespace {

// Real modules on this platform use the natural layout; a one-byte packed build would pass
// wrong offsets to them without any compiler complaint.
static_assert(alignof(CK_TOKEN_INFO) == alignof(CK_ULONG));
static_assert(offsetof(CK_ATTRIBUTE, pValue) == sizeof(CK_ULONG));

TEST(Pkcs11Fold, OkIsSuccessAndEverythingElseLandsInTheFacility) {
    EXPECT_EQ(HresultFromRv(CKR_OK), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(HresultFromRv(CKR_PIN_INCORRECT)), 0x804000A0u);
    EXPECT_EQ(static_cast<std::uint32_t>(HresultFromRv(CKR_CRYPTOKI_ALREADY_INITIALIZED)),
              0x80400191u);
    EXPECT_LT(HresultFromRv(CKR_CANCEL), 0);  // a failure to every FAILED() test
    // The published constants fold CKR_OK too.
    EXPECT_EQ(static_cast<std::uint32_t>(CkrsConstant(CKR_OK)), 0x80400000u);
    // Vendor values keep their low bits; bits beyond 32 cannot travel and are dropped.
    EXPECT_EQ(static_cast<std::uint32_t>(HresultFromRv(CKR_VENDOR_DEFINED | 0x5)), 0x80400005u);
    EXPECT_EQ(static_cast<std::uint32_t>(HresultFromRv(0x100000000UL | CKR_PIN_LOCKED)),
              0x804000A4u);
}

TEST(Pkcs11Fields, PaddingCutsAndTrimmingStopsAtNulAndKeepsInnerBlanks) {
    CK_UTF8CHAR label[32];
    PadField(label, "ABC");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(label), 32), "ABC" + std::string(29, ' '));
    EXPECT_EQ(TrimField(label), "ABC");

    PadField(label, std::string(40, 'x'));
    EXPECT_EQ(TrimField(label), std::string(32, 'x'));

    PadField(label, "two  words ");
    EXPECT_EQ(TrimField(label), "two  words");
    PadField(label, std::string("ab\0cd", 5));
    EXPECT_EQ(TrimField(label), "ab");
    PadField(label, "");
    EXPECT_EQ(TrimField(label), "");
    // UTF-8 text: the bytes of a multibyte character are never blanks, so it stays whole.
    PadField(label, "caf\xC3\xA9 ");
    EXPECT_EQ(TrimField(label), "caf\xC3\xA9");
}

}  // namespace
}  // namespace vantor::pkcs11
