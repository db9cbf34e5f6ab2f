// DES, triple DES, CBC and the retail MAC: table-driven, built at compile time from the DES tables.
#include "crypto/des.h"

#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <stdexcept>

namespace cardolo::crypto {
namespace {

// The DES tables, numbered as in the standard: bit 1 is the most significant bit.
constexpr std::uint8_t kIp[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                                  62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                                  57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                                  61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::uint8_t kFp[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                                  38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                                  36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                                  34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

constexpr std::uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                 2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr std::uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                   10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                   63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                   14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr std::uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                   26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                   51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr std::uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Applies a permutation table to the low inBits bits of value (table entries 1-based, bit 1 the
// most significant input bit); the result has one bit per table entry, first entry most
// significant.
constexpr std::uint64_t permute(std::uint64_t value, int inBits, const std::uint8_t* table,
                                int outBits) {
    std::uint64_t out = 0;
    for (int i = 0; i < outBits; ++i) {
        out = (out << 1) | ((value >> (inBits - table[i])) & 1u);
    }
    return out;
}

// The S-boxes merged with the P permutation: sp[i][x] is P applied to S-box i's output for the
// 6-bit input x, so a round is eight look-ups and ORs.
struct SpTables {
    std::uint32_t sp[8][64];
};

constexpr SpTables makeSp() {
    SpTables t{};
    for (int box = 0; box < 8; ++box) {
        for (int x = 0; x < 64; ++x) {
            const int row = ((x >> 4) & 2) | (x & 1);
            const int col = (x >> 1) & 0xF;
            const std::uint64_t s = kS[box][row * 16 + col];
            const std::uint64_t placed = s << (28 - 4 * box);
            t.sp[box][x] = static_cast<std::uint32_t>(permute(placed, 32, kP, 32));
        }
    }
    return t;
}

// A 64-bit permutation split by input byte: the result is the OR of table[pos][byte] over the
// eight bytes, which avoids a 64-step bit loop per block.
struct BytePermutation {
    std::uint64_t t[8][256];
};

constexpr BytePermutation makeBytePermutation(const std::uint8_t* table) {
    BytePermutation p{};
    for (int pos = 0; pos < 8; ++pos) {
        for (int v = 0; v < 256; ++v) {
            const std::uint64_t in = static_cast<std::uint64_t>(v) << (56 - 8 * pos);
            p.t[pos][v] = permute(in, 64, table, 64);
        }
    }
    return p;
}

constexpr SpTables kSp = makeSp();
constexpr BytePermutation kIpTable = makeBytePermutation(kIp);
constexpr BytePermutation kFpTable = makeBytePermutation(kFp);

std::uint64_t applyBytePermutation(const BytePermutation& p, std::uint64_t v) {
    std::uint64_t out = 0;
    for (int pos = 0; pos < 8; ++pos) {
        out |= p.t[pos][(v >> (56 - 8 * pos)) & 0xFF];
    }
    return out;
}

std::uint64_t load(const std::uint8_t in[8]) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = (v << 8) | in[i];
    }
    return v;
}

void store(std::uint64_t v, std::uint8_t out[8]) {
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

// The Feistel function: the expansion E is taken as eight overlapping 6-bit windows of R
// (window i covers bits 4i .. 4i+5 with bit 0 meaning bit 32), each XORed with its 6 bits of the
// round key and looked up in the merged S-box/P table.
std::uint32_t feistel(std::uint32_t r, std::uint64_t subkey) {
    std::uint32_t out = 0;
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t window = std::rotl(r, 4 * i - 1) >> 26;
        const auto k = static_cast<std::uint32_t>((subkey >> (42 - 6 * i)) & 0x3F);
        out |= kSp.sp[i][(window ^ k) & 0x3F];
    }
    return out;
}

std::uint64_t crypt(const std::array<std::uint64_t, 16>& subkeys, std::uint64_t block,
                    bool decrypt) {
    const std::uint64_t ip = applyBytePermutation(kIpTable, block);
    auto l = static_cast<std::uint32_t>(ip >> 32);
    auto r = static_cast<std::uint32_t>(ip);
    for (int round = 0; round < 16; ++round) {
        const std::uint64_t k = subkeys[decrypt ? 15 - round : round];
        const std::uint32_t next = l ^ feistel(r, k);
        l = r;
        r = next;
    }
    // The halves are swapped before the final permutation.
    const std::uint64_t preout = (static_cast<std::uint64_t>(r) << 32) | l;
    return applyBytePermutation(kFpTable, preout);
}

void checkBlocks(std::span<const std::uint8_t> data) {
    if (data.size() % 8 != 0) {
        throw std::invalid_argument("data length is not a multiple of 8");
    }
}

}  // namespace

Des::Des(std::span<const std::uint8_t, 8> key) {
    std::uint64_t k = load(key.data());
    std::uint64_t cd = permute(k, 64, kPc1, 56);
    auto c = static_cast<std::uint32_t>(cd >> 28) & 0x0FFFFFFF;
    auto d = static_cast<std::uint32_t>(cd) & 0x0FFFFFFF;
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kShifts[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
        }
        std::uint64_t joined = (static_cast<std::uint64_t>(c) << 28) | d;
        subkeys_[round] = permute(joined, 56, kPc2, 48);
        secureWipe(&joined, sizeof joined);
    }
    // The intermediate key bits are as secret as the key.
    secureWipe(&k, sizeof k);
    secureWipe(&cd, sizeof cd);
    secureWipe(&c, sizeof c);
    secureWipe(&d, sizeof d);
}

Des::~Des() {
    secureWipe(subkeys_.data(), sizeof subkeys_);
}

void Des::encryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const {
    store(crypt(subkeys_, load(in), false), out);
}

void Des::decryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const {
    store(crypt(subkeys_, load(in), true), out);
}

TripleDes::TripleDes(std::span<const std::uint8_t, 24> key)
    : k1_(key.subspan<0, 8>()), k2_(key.subspan<8, 8>()), k3_(key.subspan<16, 8>()) {}

void TripleDes::encryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const {
    std::uint8_t tmp[8];
    k1_.encryptBlock(in, tmp);
    k2_.decryptBlock(tmp, tmp);
    k3_.encryptBlock(tmp, out);
    secureWipe(tmp, sizeof tmp);
}

void TripleDes::decryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const {
    std::uint8_t tmp[8];
    k3_.decryptBlock(in, tmp);
    k2_.encryptBlock(tmp, tmp);
    k1_.decryptBlock(tmp, out);
    secureWipe(tmp, sizeof tmp);
}

SecureBytes expandKey(std::span<const std::uint8_t> key) {
    SecureBytes out;
    out.reserve(24);
    switch (key.size()) {
        case 8:  // K1 K1 K1: triple DES that equals single DES
            out.append(key);
            out.append(key);
            out.append(key);
            break;
        case 16:  // K1 K2 K1: the two-key form
            out.append(key);
            out.append(key.first(8));
            break;
        case 24:
            out.append(key);
            break;
        default:
            throw std::invalid_argument("key length must be 8, 16 or 24 bytes");
    }
    return out;
}

SecureBytes tdesCbcEncrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data) {
    checkBlocks(data);
    const TripleDes cipher(key);
    SecureBytes out(data.size());
    std::uint8_t chain[8] = {};
    for (std::size_t off = 0; off < data.size(); off += 8) {
        for (int i = 0; i < 8; ++i) {
            chain[i] ^= data[off + i];
        }
        cipher.encryptBlock(chain, chain);
        std::copy(chain, chain + 8, out.begin() + static_cast<std::ptrdiff_t>(off));
    }
    secureWipe(chain, sizeof chain);
    return out;
}

SecureBytes tdesCbcDecrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data) {
    checkBlocks(data);
    const TripleDes cipher(key);
    SecureBytes out(data.size());
    std::uint8_t prev[8] = {};
    std::uint8_t plain[8];
    for (std::size_t off = 0; off < data.size(); off += 8) {
        cipher.decryptBlock(&data[off], plain);
        for (int i = 0; i < 8; ++i) {
            out[off + i] = plain[i] ^ prev[i];
            prev[i] = data[off + i];
        }
    }
    secureWipe(plain, sizeof plain);
    return out;
}

Block retailMac(std::span<const std::uint8_t, 24> key, std::span<const std::uint8_t> data) {
    if (data.empty()) {
        throw std::invalid_argument("MAC input is empty");
    }
    checkBlocks(data);
    const Des k1(key.subspan<0, 8>());
    Block chain{};
    for (std::size_t off = 0; off < data.size(); off += 8) {
        for (int i = 0; i < 8; ++i) {
            chain[i] ^= data[off + i];
        }
        k1.encryptBlock(chain.data(), chain.data());
    }
    // Only the final block goes through K2 and K3, so a long input costs single DES per block.
    const Des k2(key.subspan<8, 8>());
    const Des k3(key.subspan<16, 8>());
    k2.decryptBlock(chain.data(), chain.data());
    k3.encryptBlock(chain.data(), chain.data());
    return chain;
}

void randomBytes(std::span<std::uint8_t> out) {
    // getrandom may return fewer bytes than asked for large requests or be interrupted by a
    // signal; both are retried, but only a bounded number of times.
    constexpr int kMaxAttempts = 64;
    std::size_t done = 0;
    for (int attempt = 0; done < out.size(); ++attempt) {
        if (attempt >= kMaxAttempts) {
            throw std::runtime_error("system random generator keeps failing");
        }
        const ssize_t got = ::getrandom(out.data() + done, out.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("system random generator failed");
        }
        done += static_cast<std::size_t>(got);
    }
}

}  // namespace cardolo::crypto
