// Hexadecimal text helpers for ATRs and serials.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace cardolo {

// Writes two lowercase digits per byte, no separator, no terminator.
inline void writeHexLower(std::span<const std::uint8_t> bytes, char* out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
}

inline std::optional<std::uint8_t> hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    return std::nullopt;
}

// The byte written by the two characters at text[0..1], either letter case.
inline std::optional<std::uint8_t> hexPair(const char* text) {
    auto hi = hexDigit(text[0]);
    auto lo = hexDigit(text[1]);
    if (!hi || !lo) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*hi << 4 | *lo);
}

}  // namespace cardolo
