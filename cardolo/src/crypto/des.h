// DES (FIPS 46) and triple DES (encrypt-decrypt-encrypt with K1 K2 K3), CBC mode and the retail
// MAC used by secure messaging and card authentication. Our own implementation: the card library
// depends on no crypto library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "util/secure_bytes.h"

namespace cardolo::crypto {

using Block = std::array<std::uint8_t, 8>;

// Single DES with one 8-byte key (parity bits ignored). The key schedule is wiped on destruction.
class Des final {
  public:
    explicit Des(std::span<const std::uint8_t, 8> key);
    ~Des();
    Des(const Des&) = delete;
    Des& operator=(const Des&) = delete;

    void encryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const;
    void decryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const;

  private:
    std::array<std::uint64_t, 16> subkeys_{};
};

// Triple DES EDE with a 24-byte key K1 K2 K3.
class TripleDes final {
  public:
    explicit TripleDes(std::span<const std::uint8_t, 24> key);

    void encryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const;
    void decryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const;

  private:
    Des k1_;
    Des k2_;
    Des k3_;
};

// Expands an 8-, 16- or 24-byte key to the 24 bytes K1 K1 K1, K1 K2 K1 or K1 K2 K3.
// Any other length throws std::invalid_argument.
SecureBytes expandKey(std::span<const std::uint8_t> key);

// Triple-DES CBC over data whose length is a multiple of 8 (else std::invalid_argument),
// with a zero IV.
SecureBytes tdesCbcEncrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data);
SecureBytes tdesCbcDecrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data);

// Retail MAC (ISO 9797-1 algorithm 3 with the key order of the cards): single-DES CBC under K1
// over every block with a zero IV, then the last block deciphered with K2 and enciphered with K3.
// data must be a non-empty multiple of 8 bytes (else std::invalid_argument).
Block retailMac(std::span<const std::uint8_t, 24> key, std::span<const std::uint8_t> data);

// Fills out with bytes from the system's cryptographic generator (getrandom); throws
// std::runtime_error if the generator fails.
void randomBytes(std::span<std::uint8_t> out);

}  // namespace cardolo::crypto
