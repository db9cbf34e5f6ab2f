// Triple DES (CBC, zero IV) and the retail MAC used by secure messaging and card authentication,
// on OpenSSL 3's EVP interface with its default provider.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "util/secure_bytes.h"

namespace cardolo::crypto {

using Block = std::array<std::uint8_t, 8>;

// Expands an 8-, 16- or 24-byte key to the 24 bytes K1 K1 K1, K1 K2 K1 or K1 K2 K3.
// Any other length throws std::invalid_argument.
SecureBytes expandKey(std::span<const std::uint8_t> key);

// Triple-DES EDE CBC with the 24-byte key K1 K2 K3 and a zero IV, over data whose length is a
// multiple of 8 (else std::invalid_argument). K1 = K2 = K3 gives single DES. A failure inside
// OpenSSL throws std::runtime_error.
SecureBytes tdesCbcEncrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data);
SecureBytes tdesCbcDecrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data);

// Retail MAC (ISO/IEC 9797-1 algorithm 3 with the key order of the cards): single-DES CBC under
// K1 over every block with a zero IV, then the last block deciphered with K2 and enciphered with
// K3. data must be a non-empty multiple of 8 bytes (else std::invalid_argument).
Block retailMac(std::span<const std::uint8_t, 24> key, std::span<const std::uint8_t> data);

}  // namespace cardolo::crypto
