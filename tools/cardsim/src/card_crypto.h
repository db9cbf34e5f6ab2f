// Card-side DES primitives of the virtual card: triple-DES CBC and the retail MAC used by its
// secure messaging and external authentication. Independent of the card library on purpose.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace cardsim {

using Bytes = std::vector<std::uint8_t>;

// Expands an 8-, 16- or 24-byte key to K1 K2 K3 (K1 K1 K1, K1 K2 K1, K1 K2 K3). Any other
// length yields an empty vector.
Bytes expandKey(std::span<const std::uint8_t> key);

// Triple-DES (EDE) CBC with a zero IV; the input length must be a multiple of 8 (otherwise an
// empty result). The key is 24 bytes (already expanded).
Bytes tdesCbcEncrypt(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> data);
Bytes tdesCbcDecrypt(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> data);

// Retail MAC (ISO 9797-1 algorithm 3 with zero IV): single-DES CBC under K1 over every block,
// then the last block deciphered with K2 and enciphered with K3. Data that is not a multiple of
// 8 bytes is zero-padded first. Returns 8 bytes.
Bytes retailMac(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> data);

// 80 00.. padding to a multiple of 8 (always adds at least one byte), and its removal; unpad
// returns false when the padding is malformed.
Bytes padIso(std::span<const std::uint8_t> data);
bool unpadIso(Bytes& data);

// Zero padding to a multiple of 8 (nothing added when already aligned).
void padZero(Bytes& data);

// Overwrites a buffer in a way the optimiser keeps.
void wipe(Bytes& data);

}  // namespace cardsim
