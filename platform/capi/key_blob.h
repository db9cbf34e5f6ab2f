// Layout of the CryptoAPI key blobs (PUBLICKEYBLOB, PRIVATEKEYBLOB, SIMPLEBLOB,
// PLAINTEXTKEYBLOB): bounds-checked views into a caller's bytes, and the header writers.
#pragma once

#include <cstdint>
#include <span>

#include "win/wincrypt.h"

namespace vantor::capi {

constexpr std::size_t kBlobHeaderSize = 8;     // BLOBHEADER
constexpr std::size_t kRsaHeaderSize = 20;     // BLOBHEADER + RSAPUBKEY
constexpr std::size_t kSimpleHeaderSize = 12;  // BLOBHEADER + ALG_ID of the wrapping key
constexpr DWORD kMinRsaBits = 384;
constexpr DWORD kMaxRsaBits = 16384;

struct BlobHeader {
    BYTE type = 0;
    BYTE version = 0;
    ALG_ID alg = 0;
};

// Reads the BLOBHEADER; NTE_BAD_DATA when fewer than 8 bytes are given.
BlobHeader readBlobHeader(std::span<const std::uint8_t> blob);
void writeBlobHeader(std::uint8_t* out, BYTE type, ALG_ID alg);

// An RSA public or private key blob, each component a little-endian view into the blob.
struct RsaBlobView {
    BlobHeader header;
    DWORD bitLength = 0;
    DWORD publicExponent = 0;
    bool hasPrivate = false;
    std::span<const std::uint8_t> modulus, prime1, prime2, exponent1, exponent2, coefficient,
        privateExponent;
};

// Lengths of the blobs of a key of the given size.
std::size_t publicBlobSize(DWORD bits);
std::size_t privateBlobSize(DWORD bits);

// Checks the header, magic, bit length and that every component lies inside the given bytes
// (extra bytes behind the blob are allowed, as CryptoAPI allows them); NTE_BAD_DATA for any
// truncated or inconsistent layout, NTE_BAD_VER / NTE_BAD_TYPE / NTE_BAD_ALGID for the
// header fields. Reads nothing outside blob.
RsaBlobView parseRsaBlob(std::span<const std::uint8_t> blob);

// A SIMPLEBLOB: the session key's algorithm, the wrapping key's algorithm and the wrapped
// bytes (little-endian); the wrapped part is everything behind the 12-byte header.
struct SimpleBlobView {
    BlobHeader header;
    ALG_ID wrapAlg = 0;
    std::span<const std::uint8_t> wrapped;
};
SimpleBlobView parseSimpleBlob(std::span<const std::uint8_t> blob);

// A PLAINTEXTKEYBLOB: header, DWORD key size, key bytes.
struct PlainKeyBlobView {
    BlobHeader header;
    std::span<const std::uint8_t> key;
};
PlainKeyBlobView parsePlainKeyBlob(std::span<const std::uint8_t> blob);

}  // namespace vantor::capi
