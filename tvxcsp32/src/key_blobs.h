// Key blobs that cross between CryptoAPI and the token: the SIMPLEBLOB rebuilt for the identity
// key, the PRIVATEKEYBLOB split into big-endian components, and the DER length of a certificate.
// Pure functions over caller bytes, so the fuzz target runs them without a token.
#pragma once

#include "win/windef.h"

#include <vantor/secure_bytes.h>

#include <cstdint>
#include <span>
#include <vector>

namespace tvx {

inline constexpr DWORD kSimpleHeaderLength = 12;  // BLOBHEADER and the wrapping ALG_ID
inline constexpr DWORD kIdentitySimpleBlobLength = 140;
inline constexpr DWORD kMaxSessionKeyLength = 125;  // 128-byte block less 00 02 .. 00

// 0 when a SIMPLEBLOB of length bytes holds the header and a block of modulusBytes, else
// NTE_BAD_DATA. Never less than 140 bytes, the block the identity key reads.
DWORD checkSimpleBlob(DWORD length, DWORD modulusBytes);

// The 140-byte SIMPLEBLOB the software provider unwraps with the identity key: the header as
// received, then the little-endian image of the PKCS#1 type-2 block 00 02 FF..FF 00 key.
// key is the session key as the token returned it. NTE_BAD_DATA when it does not fit.
DWORD identitySimpleBlob(std::span<const std::uint8_t> header, std::span<const std::uint8_t> key,
                         vantor::SecureBytes* blob);

// A PRIVATEKEYBLOB's RSA key, every value big-endian as PKCS#11 wants it.
struct RsaPrivateParts {
    DWORD bits = 0;
    std::vector<std::uint8_t> publicExponent;  // leading zero bytes dropped, at most 4 bytes
    std::vector<std::uint8_t> modulus;
    vantor::SecureBytes privateExponent, prime1, prime2, exponent1, exponent2, coefficient;
};

// The length a PRIVATEKEYBLOB of bits needs: header, modulus, five half-size values and the
// private exponent.
constexpr DWORD privateKeyBlobLength(DWORD bits) {
    return 20 + bits / 8 * 2 + bits / 16 * 5;
}

// Splits a PRIVATEKEYBLOB of 1024 or 2048 bits ("RSA2" or "RSA1"); NTE_BAD_DATA for another
// size or magic, or a blob shorter than its bit length needs.
DWORD parsePrivateKeyBlob(std::span<const std::uint8_t> blob, RsaPrivateParts* parts);

// The length of a DER certificate from its header: 0x30, then a short-form length L (L + 2) or
// a long form 0x81..0x84 (the value + 3..6). NTE_FAIL for anything else or a header that does
// not fit in available bytes.
DWORD certificateLength(std::span<const std::uint8_t> available, DWORD* length);

}  // namespace tvx
