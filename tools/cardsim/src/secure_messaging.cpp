// Secure messaging as the virtual card checks it: every length inside the command is checked
// against the bytes actually received before anything is read, so a malformed command is
// refused instead of being read past its end.
#include "secure_messaging.h"

#include <optional>

namespace cardsim {
namespace {

struct Tlv {
    std::uint8_t tag = 0;
    std::size_t start = 0;       // offset of the tag byte
    std::size_t valueStart = 0;  // offset of the first value byte
    std::size_t length = 0;
};

// Reads one single-byte-tag TLV at data[pos]; nullopt when it does not fit.
std::optional<Tlv> readTlv(std::span<const std::uint8_t> data, std::size_t pos) {
    if (pos + 2 > data.size()) {
        return std::nullopt;
    }
    Tlv t;
    t.tag = data[pos];
    t.start = pos;
    std::size_t p = pos + 1;
    std::size_t len = data[p++];
    if (len == 0x81 || len == 0x82) {
        const std::size_t n = len - 0x80;
        if (p + n > data.size()) {
            return std::nullopt;
        }
        len = 0;
        for (std::size_t i = 0; i < n; ++i)
            len = (len << 8) | data[p++];
    } else if (len > 0x80) {
        return std::nullopt;
    }
    if (p + len > data.size()) {
        return std::nullopt;
    }
    t.valueStart = p;
    t.length = len;
    return t;
}

SmCommand refuse(std::uint16_t sw, const char* why) {
    SmCommand r;
    r.sw = sw;
    r.reason = why;
    return r;
}

}  // namespace

void appendBerLength(Bytes& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else if (length <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
    }
}

SmCommand unwrapCommand(std::span<const std::uint8_t> key24,
                        std::span<const std::uint8_t> challenge,
                        std::span<const std::uint8_t> apdu) {
    if (challenge.size() != 8) {
        return refuse(0x6988, "no 8-byte card challenge");
    }
    // 0C INS P1 P2 Lc data 00: a short case-4 command whose Le is 00.
    if (apdu.size() < 6 || apdu[4] == 0 || apdu.size() != 5u + apdu[4] + 1u) {
        return refuse(0x6987, "not a case-4 command with Le");
    }
    if (apdu.back() != 0x00) {
        return refuse(0x6987, "Le is not 00");
    }
    const auto data = apdu.subspan(5, apdu[4]);
    std::optional<Tlv> do87;
    std::optional<Tlv> do8e;
    for (std::size_t pos = 0; pos < data.size();) {
        auto t = readTlv(data, pos);
        if (!t) {
            return refuse(0x6988, "malformed data object");
        }
        if (t->tag == 0x87 && !do87 && !do8e) {
            do87 = t;
        } else if (t->tag == 0x8E && !do8e) {
            do8e = t;
        } else {
            return refuse(0x6988, "unexpected data object");
        }
        pos = t->valueStart + t->length;
    }
    if (!do8e || do8e->length != 8) {
        return refuse(0x6987, "no 8-byte MAC object");
    }
    Bytes macInput(challenge.begin(), challenge.end());
    macInput.push_back(static_cast<std::uint8_t>((apdu[0] & 0xFC) | 0x0C));
    macInput.insert(macInput.end(), apdu.begin() + 1, apdu.begin() + 4);
    macInput.insert(macInput.end(), 4, 0x00);
    if (do87) {
        macInput.insert(macInput.end(), data.begin() + static_cast<long>(do87->start),
                        data.begin() + static_cast<long>(do87->valueStart + do87->length));
        padZero(macInput);
    }
    const Bytes mac = retailMac(key24, macInput);
    bool same = mac.size() == 8;
    for (std::size_t i = 0; same && i < 8; ++i) {
        same = mac[i] == data[do8e->valueStart + i];
    }
    if (!same) {
        return refuse(0x6988, "wrong MAC");
    }
    SmCommand r;
    r.plain = {static_cast<std::uint8_t>(apdu[0] & 0xF3), apdu[1], apdu[2], apdu[3]};
    if (do87) {
        if (do87->length < 9 || (do87->length - 1) % 8 != 0 || data[do87->valueStart] != 0x01) {
            return refuse(0x6988, "bad cryptogram object");
        }
        Bytes plainData =
            tdesCbcDecrypt(key24, data.subspan(do87->valueStart + 1, do87->length - 1));
        if (!unpadIso(plainData)) {
            wipe(plainData);
            return refuse(0x6988, "bad padding");
        }
        if (plainData.size() > 255) {
            wipe(plainData);
            return refuse(0x6700, "plain data too long");
        }
        if (!plainData.empty()) {
            r.plain.push_back(static_cast<std::uint8_t>(plainData.size()));
            r.plain.insert(r.plain.end(), plainData.begin(), plainData.end());
        }
        wipe(plainData);
    }
    return r;
}

Bytes wrapResponse(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> challenge,
                   std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                   std::span<const std::uint8_t> data, std::uint16_t sw) {
    Bytes out;
    Bytes macInput(challenge.begin(), challenge.end());
    macInput.insert(macInput.end(), {0x0C, ins, p1, p2});
    if (!data.empty()) {
        Bytes padded = padIso(data);
        Bytes crypt = tdesCbcEncrypt(key24, padded);
        wipe(padded);
        out.push_back(0x87);
        appendBerLength(out, crypt.size() + 1);
        out.push_back(0x01);
        out.insert(out.end(), crypt.begin(), crypt.end());
        // The data object is padded on its own: after the 12 bytes before it, the four zero
        // bytes appended below complete the last block.
        Bytes object = out;
        padZero(object);
        macInput.insert(macInput.end(), object.begin(), object.end());
    }
    macInput.insert(macInput.end(), 4, 0x00);
    const Bytes mac = retailMac(key24, macInput);
    out.push_back(0x8E);
    out.push_back(0x08);
    out.insert(out.end(), mac.begin(), mac.end());
    out.push_back(static_cast<std::uint8_t>(sw >> 8));
    out.push_back(static_cast<std::uint8_t>(sw));
    return out;
}

}  // namespace cardsim
