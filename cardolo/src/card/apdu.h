// Command building and status-word helpers shared by the card classes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "util/secure_bytes.h"

namespace cardolo {

inline constexpr std::uint16_t kSwOk = 0x9000;
inline constexpr std::uint16_t kSwWarnSelected = 0x6284;  // file selected, FCI invalid
inline constexpr std::uint16_t kSwWrongLength = 0x6700;
inline constexpr std::uint16_t kSwBlocked = 0x6983;
inline constexpr std::uint16_t kSwSmMissing = 0x6987;
inline constexpr std::uint16_t kSwSmIncorrect = 0x6988;
inline constexpr std::uint16_t kSwWrongData = 0x6A80;

// An operation's result: 0 for 9000, the status word for any other answer, -1 when the card is
// gone or the arguments are unusable, a (negative) PC/SC code when the transmission failed.
using CardResult = std::int32_t;

inline CardResult resultFromSw(std::uint16_t sw) {
    return sw == kSwOk ? 0 : sw;
}

// A selection counts as successful for the probes when the card answered 9000 or 6284.
inline bool selectionFound(CardResult r) {
    return r == 0 || r == kSwWarnSelected;
}

// Builds CLA INS P1 P2 [Lc data] into a wiping buffer.
inline SecureBytes makeCommand(std::initializer_list<std::uint8_t> header,
                               std::span<const std::uint8_t> data = {}) {
    SecureBytes cmd(header);
    if (!data.empty()) {
        cmd.push_back(static_cast<std::uint8_t>(data.size()));
        cmd.append(data);
    }
    return cmd;
}

// The answer of a card: response data and status word (SW1·256+SW2).
struct CardAnswer {
    SecureBytes data;
    std::uint16_t sw = 0;

    // Splits a raw response (data followed by SW1 SW2). A response shorter than two bytes has no
    // status word; it is reported as 6F00 (no precise diagnosis) so that it never reads as 9000.
    void assignRaw(std::span<const std::uint8_t> raw) {
        data.wipe();
        sw = 0x6F00;
        if (raw.size() >= 2) {
            data.append(raw.first(raw.size() - 2));
            sw = static_cast<std::uint16_t>(raw[raw.size() - 2] << 8 | raw[raw.size() - 1]);
        }
    }
};

}  // namespace cardolo
