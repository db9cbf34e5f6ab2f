// Key blobs between CryptoAPI (little-endian) and the token (big-endian): checks and layouts.
#include "key_blobs.h"

#include "win/wincrypt.h"

#include <algorithm>
#include <cstring>

namespace tvx {

DWORD checkSimpleBlob(DWORD length, DWORD modulusBytes) {
    // The header and the whole encrypted block must be there: a 2048-bit key's blob is 268.
    if (length < kIdentitySimpleBlobLength || length < kSimpleHeaderLength + modulusBytes) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    return 0;
}

DWORD identitySimpleBlob(std::span<const std::uint8_t> header, std::span<const std::uint8_t> key,
                         vantor::SecureBytes* blob) {
    if (header.size() != kSimpleHeaderLength || key.size() > kMaxSessionKeyLength) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    blob->assign(kIdentitySimpleBlobLength, 0xFF);
    std::copy(header.begin(), header.end(), blob->begin());
    std::uint8_t* block = blob->data() + kSimpleHeaderLength;
    std::reverse_copy(key.begin(), key.end(), block);
    block[key.size()] = 0x00;
    block[126] = 0x02;
    block[127] = 0x00;
    return 0;
}

namespace {

// Takes count bytes at offset, reversed, into out.
template <typename Bytes>
void takeReversed(std::span<const std::uint8_t> blob, std::size_t offset, std::size_t count,
                  Bytes* out) {
    out->assign(blob.begin() + static_cast<std::ptrdiff_t>(offset),
                blob.begin() + static_cast<std::ptrdiff_t>(offset + count));
    std::reverse(out->begin(), out->end());
}

}  // namespace

DWORD parsePrivateKeyBlob(std::span<const std::uint8_t> blob, RsaPrivateParts* parts) {
    const auto bad = static_cast<DWORD>(NTE_BAD_DATA);
    if (blob.size() < 20) {
        return bad;
    }
    DWORD bits = 0;
    std::memcpy(&bits, blob.data() + 12, 4);
    const bool magic = std::memcmp(blob.data() + 8, "RSA2", 4) == 0 ||
                       std::memcmp(blob.data() + 8, "RSA1", 4) == 0;
    if (!magic || bits < 1024 || bits > 2048 || bits % 1024 != 0) {
        return bad;
    }
    // The components are read by position: the blob must hold all of them.
    if (blob.size() < privateKeyBlobLength(bits)) {
        return bad;
    }
    parts->bits = bits;
    takeReversed(blob, 16, 4, &parts->publicExponent);
    const auto nonZero = std::find_if(parts->publicExponent.begin(), parts->publicExponent.end(),
                                      [](std::uint8_t b) { return b != 0; });
    parts->publicExponent.erase(parts->publicExponent.begin(), nonZero);
    const std::size_t full = bits / 8;
    const std::size_t half = bits / 16;
    std::size_t at = 20;
    takeReversed(blob, at, full, &parts->modulus);
    at += full;
    for (vantor::SecureBytes* part : {&parts->prime1, &parts->prime2, &parts->exponent1,
                                      &parts->exponent2, &parts->coefficient}) {
        takeReversed(blob, at, half, part);
        at += half;
    }
    takeReversed(blob, at, full, &parts->privateExponent);
    return 0;
}

DWORD certificateLength(std::span<const std::uint8_t> available, DWORD* length) {
    const auto fail = static_cast<DWORD>(NTE_FAIL);
    if (available.size() < 2 || available[0] != 0x30) {
        return fail;
    }
    const std::uint8_t first = available[1];
    if (first < 0x80) {
        *length = first + 2u;
        return 0;
    }
    const std::size_t count = first - 0x80u;
    if (count < 1 || count > 4 || available.size() < 2 + count) {
        return fail;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = (value << 8) | available[2 + i];
    }
    value += 2 + count;
    if (value > 0xFFFFFFFFu) {
        return fail;  // a four-byte length near the top would wrap
    }
    *length = static_cast<DWORD>(value);
    return 0;
}

}  // namespace tvx
