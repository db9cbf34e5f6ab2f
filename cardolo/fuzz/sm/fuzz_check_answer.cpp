// Fuzzes the protected-answer check: the first byte chooses the command prefix length (4 to 7
// bytes taken next) and the mode, the next byte the caller's capacity, and the rest is the
// card's answer. In the second mode the rest is data objects and a status word, and the harness
// inserts a good 8E before the status word, as a card holding the keys would; random bytes
// almost never pass the MAC, and without this the deciphering and unpadding paths would only
// ever see the seed inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "sm/secure_messaging.h"
#include "sm/tlv.h"

namespace {

constexpr std::uint8_t kKey[24] = {0x5E, 0x1A, 0x9C, 0x03, 0xD2, 0x7B, 0x48, 0x6F,
                                   0x0C, 0x93, 0xA1, 0x5E, 0x7D, 0x2B, 0x64, 0xF8,
                                   0x01, 0x9E, 0x3C, 0x57, 0xA2, 0xD6, 0xB4, 0x0F};
constexpr std::uint8_t kChallenge[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t commandLength = 4 + (data[0] & 0x03);
    const std::size_t capacity = data[1];
    if (size < 2 + commandLength) {
        return 0;
    }
    const std::span<const std::uint8_t> input(data, size);
    const auto command = input.subspan(2, commandLength);
    const cardolo::sm::SessionKeys keys{std::span<const std::uint8_t, 24>(kKey),
                                        std::span<const std::uint8_t, 24>(kKey)};
    std::span<const std::uint8_t> answer = input.subspan(2 + commandLength);
    cardolo::SecureBytes macked;
    if ((data[0] & 0x04) != 0 && answer.size() >= 2) {
        const auto objects = answer.first(answer.size() - 2);
        const auto list = cardolo::sm::readTlvList(objects);
        if (!list) {
            return 0;
        }
        cardolo::SecureBytes macInput;
        macInput.append(kChallenge);
        const std::uint8_t header[4] = {static_cast<std::uint8_t>((command[0] & 0xFC) | 0x0C),
                                        command[1], command[2], command[3]};
        macInput.append(header);
        for (const std::uint32_t tag : {0x87u, 0x81u}) {
            const cardolo::sm::Tlv* found = nullptr;
            for (const auto& tlv : *list) {
                if (tlv.tag == tag) {
                    found = &tlv;
                    break;
                }
            }
            if (found != nullptr) {
                // The object is zero-padded to whole blocks on its own.
                macInput.append(found->whole);
                macInput.resize(macInput.size() + (8 - found->whole.size() % 8) % 8, 0);
                break;
            }
        }
        macInput.resize(macInput.size() + 4, 0);
        const auto mac = cardolo::crypto::retailMac(keys.mac, macInput);
        macked.append(objects);
        macked.push_back(0x8E);
        macked.push_back(0x08);
        macked.append(mac);
        macked.append(answer.last(2));
        answer = macked.view();
    }
    const auto result = cardolo::sm::checkAnswer(
        answer, command, std::span<const std::uint8_t, 8>(kChallenge), keys, capacity);
    // Whatever the answer, the data handed back never exceed the caller's room, and data come
    // back only with the card's own status word, never with one of the check's failure codes.
    if (result.data.size() > capacity) {
        std::abort();
    }
    if (!result.data.empty()) {
        const auto sw = static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) |
                                                   answer[answer.size() - 1]);
        if (answer.size() <= 2 || sw != result.sw) {
            std::abort();
        }
    }
    return 0;
}
