// The suite's built-in triple-DES key of card authentication and secure messaging: Cardolo's
// default key and the key the PIN-dialog plug-in hands to the PKCS#11 module. One definition.
#pragma once

#include <array>
#include <cstdint>

namespace vantor {

inline constexpr std::array<std::uint8_t, 24> kDefaultSecureMessagingKey = {
    0x5E, 0x1A, 0x9C, 0x03, 0xD2, 0x7B, 0x48, 0x6F, 0x0C, 0x93, 0xA1, 0x5E,
    0x7D, 0x2B, 0x64, 0xF8, 0x01, 0x9E, 0x3C, 0x57, 0xA2, 0xD6, 0xB4, 0x0F};

}  // namespace vantor
