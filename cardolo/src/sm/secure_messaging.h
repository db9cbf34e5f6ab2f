// ISO/IEC 7816-4 secure messaging as the CNS signature application uses it: building the
// protected command and checking the protected answer. Pure functions, no card I/O: the card
// classes do the GET CHALLENGE / host-random exchange and the transmission.
#pragma once

#include <cstdint>
#include <span>

#include "crypto/des.h"
#include "util/secure_bytes.h"

namespace cardolo::sm {

struct SessionKeys {
    std::span<const std::uint8_t, 24> mac;
    std::span<const std::uint8_t, 24> enc;
};

// Builds the protected form of an unprotected command CLA INS P1 P2 [Lc data...] (at least 5
// bytes; the data are the Lc bytes after the fifth byte, or none for a 5-byte command):
//   0C INS P1 P2 Lc | 87 L 01 cryptogram | 8E 08 MAC | 00
// with the data padded 80 00.. to a multiple of 8 (empty data gives one padding block) and
// enciphered with 3DES-CBC (zero IV) under keys.enc, and the MAC the retail MAC under keys.mac
// over: challenge | CLA' INS P1 P2 00 00 00 00 | DO 87 zero-padded to a multiple of 8,
// CLA' = (CLA & 0xFC) | 0x0C. Lc = length of DO 87 + 10.
// Throws std::invalid_argument for a command shorter than 5 bytes, an Lc that runs past the
// command, or a result that would not fit a short APDU (Lc > 255).
SecureBytes wrapCommand(std::span<const std::uint8_t> command,
                        std::span<const std::uint8_t, 8> cardChallenge, const SessionKeys& keys);

struct CheckedAnswer {
    std::uint16_t sw = 0;  // the status word to report (6C00 for a MAC failure, see below)
    SecureBytes data;      // deciphered or plain response data (empty for the PIN commands)
};

// Checks a protected answer (data objects followed by SW1 SW2) to the given unprotected command.
//  - An answer of just two bytes is returned as that status word, no data.
//  - Data object: the first present of 87, 86 (enciphered, first value byte the padding
//    indicator), 81, 80 (plain); MAC object 8E.
//  - MAC input: challenge | CLA' INS P1 P2 | (DO 87 or 81 with tag and length, zero-padded to a
//    multiple of 8; the first 87, else the first 81, else nothing) | 00 00 00 00. A missing 8E or a
//    different MAC gives sw 6C00.
//  - Enciphered data without its indicator byte must be a non-zero multiple of 8; it is
//    deciphered (3DES-CBC, zero IV, keys.enc) and ends before its padding: an 80 byte followed
//    by at most seven 00 bytes. Malformed answers (bad TLV, bad cipher length, no such
//    padding) give sw 6988.
//  - More data than capacity (counted in data bytes, without the status word) gives sw 6A80
//    and no data.
//  - An answer shorter than two bytes (no status word at all) gives sw 6988.
// Throws std::invalid_argument for a command shorter than 4 bytes.
CheckedAnswer checkAnswer(std::span<const std::uint8_t> answer,
                          std::span<const std::uint8_t> command,
                          std::span<const std::uint8_t, 8> cardChallenge, const SessionKeys& keys,
                          std::size_t capacity);

}  // namespace cardolo::sm
