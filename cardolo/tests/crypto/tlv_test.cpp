// Tests of the bounded BER-TLV reader and of the file size taken from a SELECT answer.
#include <gtest/gtest.h>

#include "hex.h"
#include "sm/tlv.h"

namespace cardolo::sm {
namespace {

using test::Bytes;
using test::fromHex;
using test::toHex;

TEST(ReadTlv, TagAndLengthForms) {
    struct Case {
        const char* input;
        std::uint32_t tag;
        const char* value;
    };
    for (const Case& c : {Case{"8001AA", 0x80, "AA"}, Case{"8000", 0x80, ""},
                          Case{"5F2002C1C2", 0x5F20, "C1C2"}, Case{"9F7F0101", 0x9F7F, "01"},
                          Case{"8781020102", 0x87, "0102"}, Case{"6F82000155", 0x6F, "55"}}) {
        SCOPED_TRACE(c.input);
        const Bytes in = fromHex(c.input);
        const auto tlv = readTlv(in);
        ASSERT_TRUE(tlv.has_value());
        EXPECT_EQ(tlv->tag, c.tag);
        EXPECT_EQ(toHex(tlv->value), c.value);
        EXPECT_EQ(tlv->whole.size(), in.size());
    }
    // Bytes after the first object are not part of it.
    const Bytes two = fromHex("8001AA 8101BB");
    EXPECT_EQ(readTlv(two)->whole.size(), 3u);
}

TEST(ReadTlv, RefusesMalformedObjects) {
    for (const char* bad : {"", "80", "5F", "5F20", "9F8001", "8002AA", "8080", "8083000001AA",
                            "8184000000", "8181", "818105", "82820100", "87820004AABBCC"}) {
        EXPECT_FALSE(readTlv(fromHex(bad)).has_value()) << bad;
    }
}

TEST(ReadTlvList, EveryTruncationInsideAnObjectIsRefused) {
    const Bytes list = fromHex("6F0A 8002 012C 8404 A0000000 5F2001 41 8E00");
    const std::vector<std::size_t> boundaries = {0, 12, 16, 18};
    for (std::size_t cut = 0; cut <= list.size(); ++cut) {
        const auto result = readTlvList(std::span(list).first(cut));
        const bool boundary =
            std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end() ||
            cut == list.size();
        EXPECT_EQ(result.has_value(), boundary) << "cut at " << cut;
    }
    const auto full = readTlvList(list);
    ASSERT_TRUE(full.has_value());
    ASSERT_EQ(full->size(), 3u);
    EXPECT_EQ((*full)[0].value.size(), 10u);
    EXPECT_EQ((*full)[1].tag, 0x5F20u);
    EXPECT_EQ((*full)[2].tag, 0x8Eu);
    EXPECT_TRUE((*full)[2].value.empty());
}

TEST(FciFileSize, ReadsTag80InsideTheFci) {
    struct Case {
        const char* answer;
        std::uint16_t size;
    };
    for (const Case& c : {
             Case{"6F04 8002012C", 300},
             Case{"6F04 8002012C 9000", 300},  // status bytes still attached
             Case{"6F04 8002FFFF 6282", 0xFFFF},
             Case{"6F0E 8402A1A2 A5048002FFFF 80020010", 16},  // 80 nested in A5 is not the size
             Case{"6F81 04 80020200", 512},
             Case{"6F06 8202 0121 8000", 0},  // 80 of length 0
             Case{"6F05 8003 000100", 0},     // 80 of length 3
             Case{"6F03 8001 10", 0},         // 80 of length 1
             Case{"6F04 82020121", 0},        // no 80
             Case{"6204 8002012C", 0},        // not an FCI
             Case{"6F06 8002012C", 0},        // 6F runs past the answer
             Case{"6F05 8002012C 84", 0},     // malformed object after the size
             Case{"", 0},
             Case{"9000", 0},
         }) {
        EXPECT_EQ(fciFileSize(fromHex(c.answer)), c.size) << c.answer;
    }
}

}  // namespace
}  // namespace cardolo::sm
