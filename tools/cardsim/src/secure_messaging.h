// Card-side secure messaging of the virtual card: checks and deciphers a protected command
// (CLA 0C, data objects 87 and 8E) and protects the answer the same way.
#pragma once

#include "card_crypto.h"

#include <cstdint>
#include <span>

namespace cardsim {

struct SmCommand {
    std::uint16_t sw = 0x9000;  // 9000 when the command was accepted, else the refusal
    const char* reason = "";    // why it was refused (for the APDU log)
    Bytes plain;                // the plain command (CLA with the SM bits cleared) when accepted
};

// Checks a protected command against the card challenge (8 bytes) with the 24-byte key used as
// both MAC and encryption key. The MAC covers challenge | CLA' INS P1 P2 00 00 00 00 | DO 87
// zero-padded to a multiple of 8, CLA' = (CLA & FC) | 0C.
SmCommand unwrapCommand(std::span<const std::uint8_t> key24,
                        std::span<const std::uint8_t> challenge,
                        std::span<const std::uint8_t> apdu);

// Protects an answer: [87 L 01 cryptogram] 8E 08 MAC SW1 SW2, where the MAC covers
// challenge | 0C INS P1 P2 | [DO 87 zero-padded to a multiple of 8] | 00 00 00 00.
Bytes wrapResponse(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> challenge,
                   std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                   std::span<const std::uint8_t> data, std::uint16_t sw);

// Appends a BER-TLV length (short form, 81 xx or 82 xx xx).
void appendBerLength(Bytes& out, std::size_t length);

}  // namespace cardsim
