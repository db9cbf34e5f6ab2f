// A bounded BER-TLV reader for card answers: single- and two-byte tags, lengths in short form or
// 81 xx / 82 xx xx. Every read is checked against the input; malformed input yields nullopt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cardolo::sm {

struct Tlv {
    std::uint32_t tag = 0;                // one or two tag bytes, big-endian
    std::span<const std::uint8_t> value;  // points into the parsed input
    std::span<const std::uint8_t> whole;  // tag, length and value as they stand in the input
};

// Reads one data object at the start of input. nullopt when the input is empty or malformed
// (truncated tag, length or value; length forms longer than 82).
std::optional<Tlv> readTlv(std::span<const std::uint8_t> input);

// Reads consecutive data objects filling the whole input; nullopt if any is malformed.
std::optional<std::vector<Tlv>> readTlvList(std::span<const std::uint8_t> input);

// The file size from a SELECT answer's file control information: tag 6F, inside it tag 80 of
// length 2, big-endian. A missing or malformed 6F or 80 gives 0. The answer may still carry its
// two status bytes at the end (they are ignored when present).
std::uint16_t fciFileSize(std::span<const std::uint8_t> answerData);

}  // namespace cardolo::sm
