// Secure-messaging wrap of a command and check of the card's protected answer.
#include "sm/secure_messaging.h"

#include <array>
#include <stdexcept>

#include "sm/tlv.h"

namespace cardolo::sm {
namespace {

constexpr std::uint16_t kSwMacFailed = 0x6C00;
constexpr std::uint16_t kSwBadObjects = 0x6988;
constexpr std::uint16_t kSwTooLong = 0x6A80;

std::uint8_t protectedClass(std::uint8_t cla) {
    return static_cast<std::uint8_t>((cla & 0xFC) | 0x0C);
}

void zeroPadToBlock(SecureBytes& bytes) {
    while (bytes.size() % 8 != 0) {
        bytes.push_back(0x00);
    }
}

// Compares two MACs without stopping at the first difference.
bool sameMac(std::span<const std::uint8_t> a, const crypto::Block& b) {
    if (a.size() != b.size()) {
        return false;
    }
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    return diff == 0;
}

const Tlv* findFirst(const std::vector<Tlv>& list, std::uint32_t tag) {
    for (const Tlv& item : list) {
        if (item.tag == tag) {
            return &item;
        }
    }
    return nullptr;
}

// Deciphers the value of an 87/86 object (padding indicator first) and strips the 80 00..
// padding. False when the cryptogram is empty or not whole blocks, or the padding is absent.
bool decipher(std::span<const std::uint8_t> value, const SessionKeys& keys, SecureBytes& plain) {
    if (value.empty()) {
        return false;
    }
    const auto cryptogram = value.subspan(1);
    if (cryptogram.empty() || cryptogram.size() % 8 != 0) {
        return false;
    }
    plain = crypto::tdesCbcDecrypt(keys.enc, cryptogram);
    // The padding is 80 followed by up to seven zero bytes, all inside the last block: anything
    // else means the card and we disagree on the keys or the layout, and no byte of it is trusted.
    std::size_t end = plain.size();
    while (end > 0 && plain.size() - end < 7 && plain[end - 1] == 0x00) {
        --end;
    }
    if (end == 0 || plain[end - 1] != 0x80) {
        plain.wipe();
        return false;
    }
    // resize() down keeps the tail in the buffer; wipe it before shrinking.
    secureWipe(plain.data() + end - 1, plain.size() - (end - 1));
    plain.resize(end - 1);
    return true;
}

}  // namespace

SecureBytes wrapCommand(std::span<const std::uint8_t> command,
                        std::span<const std::uint8_t, 8> cardChallenge, const SessionKeys& keys) {
    if (command.size() < 5) {
        throw std::invalid_argument("command shorter than 5 bytes");
    }
    // A 5-byte command is CLA INS P1 P2 Le and carries no data; a longer one has Lc at byte 5
    // (anything after its data, an Le, is dropped: the protected command always asks for 00).
    std::size_t lc = 0;
    if (command.size() > 5) {
        lc = command[4];
        if (command.size() - 5 < lc) {
            throw std::invalid_argument("Lc runs past the end of the command");
        }
    }
    const auto data = command.subspan(5, lc);

    SecureBytes padded;
    padded.reserve(lc + 8);
    padded.append(data);
    padded.push_back(0x80);
    zeroPadToBlock(padded);
    const SecureBytes cryptogram = crypto::tdesCbcEncrypt(keys.enc, padded);
    padded.wipe();

    // 87 L 01 cryptogram, with the length in BER form (81 xx above 127).
    SecureBytes do87;
    const std::size_t valueLength = cryptogram.size() + 1;
    do87.push_back(0x87);
    if (valueLength > 0x7F) {
        do87.push_back(0x81);
    }
    do87.push_back(static_cast<std::uint8_t>(valueLength));
    do87.push_back(0x01);
    do87.append(cryptogram);

    const std::size_t lcOut = do87.size() + 10;
    if (lcOut > 0xFF) {
        throw std::invalid_argument("protected command does not fit a short APDU");
    }

    SecureBytes macInput;
    macInput.reserve(16 + do87.size() + 8);
    macInput.append(cardChallenge);
    const std::array<std::uint8_t, 8> header = {
        protectedClass(command[0]), command[1], command[2], command[3], 0, 0, 0, 0};
    macInput.append(header);
    macInput.append(do87);
    zeroPadToBlock(macInput);
    const crypto::Block mac = crypto::retailMac(keys.mac, macInput);
    macInput.wipe();

    SecureBytes out;
    out.reserve(5 + lcOut + 1);
    out.push_back(0x0C);
    out.push_back(command[1]);
    out.push_back(command[2]);
    out.push_back(command[3]);
    out.push_back(static_cast<std::uint8_t>(lcOut));
    out.append(do87);
    out.push_back(0x8E);
    out.push_back(0x08);
    out.append(mac);
    out.push_back(0x00);
    return out;
}

CheckedAnswer checkAnswer(std::span<const std::uint8_t> answer,
                          std::span<const std::uint8_t> command,
                          std::span<const std::uint8_t, 8> cardChallenge, const SessionKeys& keys,
                          std::size_t capacity) {
    if (command.size() < 4) {
        throw std::invalid_argument("command shorter than 4 bytes");
    }
    CheckedAnswer result;
    if (answer.size() < 2) {
        // Not even a status word: nothing of it can be trusted.
        result.sw = kSwBadObjects;
        return result;
    }
    const auto swBytes = answer.last(2);
    const auto sw = static_cast<std::uint16_t>((swBytes[0] << 8) | swBytes[1]);
    if (answer.size() == 2) {
        result.sw = sw;
        return result;
    }

    const auto objects = readTlvList(answer.first(answer.size() - 2));
    if (!objects) {
        result.sw = kSwBadObjects;
        return result;
    }

    // Only the odd-tagged data objects (87, 81) are covered by the card's MAC.
    const Tlv* macObject = findFirst(*objects, 0x8E);
    const Tlv* covered = findFirst(*objects, 0x87);
    if (covered == nullptr) {
        covered = findFirst(*objects, 0x81);
    }
    SecureBytes macInput;
    macInput.append(cardChallenge);
    const std::array<std::uint8_t, 4> header = {protectedClass(command[0]), command[1], command[2],
                                                command[3]};
    macInput.append(header);
    if (covered != nullptr) {
        SecureBytes padded(covered->whole);
        zeroPadToBlock(padded);
        macInput.append(padded);
    }
    const std::array<std::uint8_t, 4> tail = {0, 0, 0, 0};
    macInput.append(tail);
    const crypto::Block expected = crypto::retailMac(keys.mac, macInput);
    macInput.wipe();
    if (macObject == nullptr || !sameMac(macObject->value, expected)) {
        result.sw = kSwMacFailed;
        return result;
    }

    const Tlv* dataObject = nullptr;
    for (const std::uint32_t tag : {0x87u, 0x86u, 0x81u, 0x80u}) {
        dataObject = findFirst(*objects, tag);
        if (dataObject != nullptr) {
            break;
        }
    }
    SecureBytes data;
    if (dataObject != nullptr) {
        if (dataObject->tag == 0x87 || dataObject->tag == 0x86) {
            if (!decipher(dataObject->value, keys, data)) {
                result.sw = kSwBadObjects;
                return result;
            }
        } else {
            data.append(dataObject->value);
        }
    }
    if (data.size() > capacity) {
        result.sw = kSwTooLong;
        return result;
    }
    result.sw = sw;
    result.data = std::move(data);
    return result;
}

}  // namespace cardolo::sm
