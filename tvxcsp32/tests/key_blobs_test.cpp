// The key blob checks and layouts alone: lengths that are refused, byte order at the crossing,
// and the identity key's SIMPLEBLOB block.
#include "key_blobs.h"

#include "win/wincrypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace tvx {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(KeyBlobs, SimpleBlobMustHoldTheWholeBlock) {
    struct Case {
        DWORD length;
        DWORD modulusBytes;
        bool accepted;
    };
    for (const Case& c : {Case{139, 128, false}, Case{140, 128, true}, Case{140, 256, false},
                          Case{267, 256, false}, Case{268, 256, true}, Case{0, 0, false}}) {
        EXPECT_EQ(checkSimpleBlob(c.length, c.modulusBytes) == 0, c.accepted)
            << c.length << "/" << c.modulusBytes;
    }
}

TEST(KeyBlobs, IdentitySimpleBlobIsTheLittleEndianTypeTwoBlock) {
    Bytes header(12);
    std::iota(header.begin(), header.end(), 0xA0);
    vantor::SecureBytes blob;
    ASSERT_EQ(identitySimpleBlob(header, Bytes{0x11, 0x22, 0x33}, &blob), 0u);
    ASSERT_EQ(blob.size(), 140u);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), blob.begin()));
    const std::uint8_t* block = blob.data() + 12;
    EXPECT_EQ(Bytes(block, block + 4), (Bytes{0x33, 0x22, 0x11, 0x00}));
    EXPECT_TRUE(std::all_of(block + 4, block + 126, [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(block[126], 0x02);
    EXPECT_EQ(block[127], 0x00);

    EXPECT_EQ(identitySimpleBlob(header, Bytes(125, 1), &blob), 0u);
    EXPECT_EQ(blob[12 + 125], 0x00);
    for (std::size_t tooLong : {126u, 200u, 256u}) {
        EXPECT_EQ(identitySimpleBlob(header, Bytes(tooLong, 1), &blob),
                  static_cast<DWORD>(NTE_BAD_DATA))
            << tooLong;
    }
}

Bytes privateBlob(DWORD bits, const char* magic, std::size_t length) {
    Bytes blob(length);
    std::iota(blob.begin(), blob.end(), 0);
    const Bytes head = {PRIVATEKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0x00, 0x00};
    std::copy(head.begin(), head.end(), blob.begin());
    std::memcpy(blob.data() + 8, magic, 4);
    std::memcpy(blob.data() + 12, &bits, 4);
    const DWORD exponent = 65537;
    std::memcpy(blob.data() + 16, &exponent, 4);
    return blob;
}

TEST(KeyBlobs, PrivateKeyBlobNeedsItsFullLengthAndAKnownSize) {
    struct Case {
        DWORD bits;
        const char* magic;
        std::size_t length;
        bool accepted;
    };
    const Case cases[] = {
        {1024, "RSA2", 596, true},  {1024, "RSA1", 596, true},   {2048, "RSA2", 1172, true},
        {1024, "RSA2", 595, false}, {2048, "RSA2", 1171, false}, {2048, "RSA2", 20, false},
        {1536, "RSA2", 900, false}, {3072, "RSA2", 2000, false}, {1024, "RSA3", 596, false},
        {0, "RSA2", 596, false},
    };
    for (const Case& c : cases) {
        const Bytes blob = privateBlob(c.bits, c.magic, c.length);
        RsaPrivateParts parts;
        EXPECT_EQ(parsePrivateKeyBlob(blob, &parts) == 0, c.accepted) << c.bits << " " << c.length;
    }
    EXPECT_NE(parsePrivateKeyBlob(Bytes(19, 0), nullptr), 0u);
}

TEST(KeyBlobs, PrivateKeyComponentsAreReversedInTheirPlaces) {
    const Bytes blob = privateBlob(1024, "RSA2", 596);
    RsaPrivateParts parts;
    ASSERT_EQ(parsePrivateKeyBlob(blob, &parts), 0u);
    EXPECT_EQ(parts.bits, 1024u);
    EXPECT_EQ(parts.publicExponent, (Bytes{0x01, 0x00, 0x01}));
    ASSERT_EQ(parts.modulus.size(), 128u);
    EXPECT_EQ(parts.modulus.front(), blob[20 + 127]);
    EXPECT_EQ(parts.modulus.back(), blob[20]);
    EXPECT_EQ(parts.prime1.front(), blob[148 + 63]);
    EXPECT_EQ(parts.coefficient.back(), blob[148 + 4 * 64]);
    ASSERT_EQ(parts.privateExponent.size(), 128u);
    EXPECT_EQ(parts.privateExponent.back(), blob[148 + 5 * 64]);
    EXPECT_EQ(parts.privateExponent.front(), blob[595]);
}

TEST(KeyBlobs, CertificateLengthFromTheDerHeader) {
    struct Case {
        Bytes header;
        DWORD length;  // 0: refused
    };
    const Case cases[] = {
        {{0x30, 0x05}, 7},
        {{0x30, 0x7F}, 0x81},
        {{0x30, 0x81, 0x80}, 0x83},
        {{0x30, 0x82, 0x01, 0xCA}, 0x1CE},
        {{0x30, 0x83, 0x01, 0x00, 0x00}, 0x10005},
        {{0x30, 0x84, 0x00, 0x01, 0x00, 0x00}, 0x10006},
        {{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, 0},  // would wrap past 32 bits
        {{0x31, 0x05}, 0},
        {{0x30, 0x80}, 0},
        {{0x30, 0x85, 0, 0, 0, 0, 1}, 0},
        {{0x30, 0x82, 0x01}, 0},  // header cut short
        {{0x30}, 0},
    };
    for (const Case& c : cases) {
        DWORD length = 0;
        const DWORD result = certificateLength(c.header, &length);
        if (c.length == 0) {
            EXPECT_EQ(result, static_cast<DWORD>(NTE_FAIL)) << c.header.size();
        } else {
            EXPECT_EQ(result, 0u);
            EXPECT_EQ(length, c.length);
        }
    }
}

}  // namespace
}  // namespace tvx
