// Bounded BER-TLV reading for card answers: every index is checked against the input's end.
#include "sm/tlv.h"

namespace cardolo::sm {

std::optional<Tlv> readTlv(std::span<const std::uint8_t> input) {
    std::size_t pos = 0;
    if (input.empty()) {
        return std::nullopt;
    }
    std::uint32_t tag = input[pos++];
    // Low five bits all set: the tag number continues in a second byte. A second byte with its top
    // bit set would announce a third tag byte, which card answers never use.
    if ((tag & 0x1F) == 0x1F) {
        if (pos >= input.size() || (input[pos] & 0x80) != 0) {
            return std::nullopt;
        }
        tag = (tag << 8) | input[pos++];
    }
    if (pos >= input.size()) {
        return std::nullopt;
    }
    std::size_t length = input[pos++];
    if (length >= 0x80) {
        // 81 xx and 82 xx xx only; 80 (indefinite) and longer forms are refused.
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 2 || input.size() - pos < count) {
            return std::nullopt;
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = (length << 8) | input[pos++];
        }
    }
    if (input.size() - pos < length) {
        return std::nullopt;
    }
    Tlv tlv;
    tlv.tag = tag;
    tlv.value = input.subspan(pos, length);
    tlv.whole = input.first(pos + length);
    return tlv;
}

std::optional<std::vector<Tlv>> readTlvList(std::span<const std::uint8_t> input) {
    std::vector<Tlv> list;
    // Each object consumes at least two bytes, so the loop ends after at most size/2 rounds.
    while (!input.empty()) {
        auto tlv = readTlv(input);
        if (!tlv) {
            return std::nullopt;
        }
        input = input.subspan(tlv->whole.size());
        list.push_back(*tlv);
    }
    return list;
}

std::uint16_t fciFileSize(std::span<const std::uint8_t> answerData) {
    // The 6F object carries its own length, so status bytes after it are simply not read.
    const auto fci = readTlv(answerData);
    if (!fci || fci->tag != 0x6F) {
        return 0;
    }
    const auto inner = readTlvList(fci->value);
    if (!inner) {
        return 0;
    }
    for (const Tlv& item : *inner) {
        if (item.tag == 0x80) {
            if (item.value.size() != 2) {
                return 0;
            }
            return static_cast<std::uint16_t>((item.value[0] << 8) | item.value[1]);
        }
    }
    return 0;
}

}  // namespace cardolo::sm
