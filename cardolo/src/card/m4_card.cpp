// M4Card: raw and protected transport, PIN and key commands, secure messaging.
#include "card/m4_card.h"

#include <algorithm>
#include <stdexcept>

#include "crypto/des.h"
#include "crypto/random.h"
#include "sm/secure_messaging.h"

namespace cardolo {

namespace {

bool isTransientReaderError(LONG rv) {
    return rv == SCARD_E_NOT_READY || rv == SCARD_F_COMM_ERROR || rv == SCARD_F_UNKNOWN_ERROR ||
           rv == SCARD_E_NOT_TRANSACTED;
}

// The whole response (data, then SW1 SW2) from a split answer.
SecureBytes rawResponse(const CardAnswer& answer) {
    SecureBytes raw(answer.data.view());
    raw.push_back(static_cast<std::uint8_t>(answer.sw >> 8));
    raw.push_back(static_cast<std::uint8_t>(answer.sw));
    return raw;
}

}  // namespace

M4Card::~M4Card() {
    secureWipe(macKey_.data(), macKey_.size());
    secureWipe(encKey_.data(), encKey_.size());
}

CardResult M4Card::transmit(std::span<const std::uint8_t> command, CardAnswer& answer) {
    return protectedTransmit(command, answer);
}

CardResult M4Card::selectWithFci(std::uint16_t fid, std::uint16_t* size, FileKind kind) {
    std::uint16_t ignored = 0;
    return selectFile(fid, kind, size != nullptr ? size : &ignored);
}

CardResult M4Card::ensurePathCurrent() {
    if (pathCurrent_) {
        return 0;
    }
    CardResult r = reselectCurrentPath();
    return selectionFound(r) ? 0 : r;
}

CardResult M4Card::verify(std::uint8_t reference, std::span<const std::uint8_t> value) {
    if (value.empty() || value.size() > 255) {
        return -1;
    }
    if (CardResult r = ensurePathCurrent(); r != 0) {
        return r;
    }
    SecureBytes cmd =
        makeCommand({0x00, 0x20, 0x00, static_cast<std::uint8_t>(reference | 0x80)}, value);
    CardAnswer answer;
    return protectedTransmit(cmd, answer);
}

CardResult M4Card::externalAuthenticate(std::uint8_t keyReference,
                                        std::span<const std::uint8_t> key,
                                        std::size_t inputLength) {
    if (key.size() != 8 && key.size() != 16 && key.size() != 24) {
        return -1;
    }
    const std::size_t n = std::max<std::size_t>(inputLength, 8);
    if (n > 255) {
        return -1;  // GET CHALLENGE asks for at most 255 bytes in one short command
    }
    if (CardResult r = ensurePathCurrent(); r != 0) {
        return r;
    }
    SecureBytes fullKey = crypto::expandKey(key);
    SecureBytes challenge;
    if (CardResult r = getChallenge(static_cast<std::uint8_t>(n), challenge); r != 0) {
        return r;
    }
    // The retail MAC works on whole blocks: the challenge is zero-padded to a multiple of 8.
    SecureBytes macInput(challenge.view());
    macInput.resize((macInput.size() + 7) / 8 * 8, 0x00);
    crypto::Block cryptogram =
        crypto::retailMac(std::span<const std::uint8_t, 24>(fullKey.data(), 24), macInput.view());
    SecureBytes cmd =
        makeCommand({0x00, 0x82, 0x00, static_cast<std::uint8_t>(keyReference | 0x80)}, cryptogram);
    secureWipe(cryptogram.data(), cryptogram.size());
    CardAnswer answer;
    CardResult r = protectedTransmit(cmd, answer);
    if (r == 0) {
        authenticated_.insert(keyReference);
    }
    return r;
}

CardResult M4Card::changeReferenceData(std::uint8_t p2,
                                       std::optional<std::span<const std::uint8_t>> oldValue,
                                       std::span<const std::uint8_t> newValue) {
    SecureBytes data;
    if (oldValue) {
        data.append(*oldValue);
    }
    data.append(newValue);
    if (data.empty() || data.size() > 255) {
        return -1;
    }
    if (CardResult r = ensurePathCurrent(); r != 0) {
        return r;
    }
    const std::uint8_t p1 = oldValue ? 0x00 : 0x01;
    SecureBytes cmd = makeCommand({0x00, 0x24, p1, p2}, data.view());
    CardAnswer answer;
    return protectedTransmit(cmd, answer);
}

CardResult M4Card::connect(SCARDCONTEXT context, const std::string& reader) {
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    if (channel_.connect(context, reader, &h, &protocol) != SCARD_S_SUCCESS || h == 0) {
        return -1;
    }
    setContext(context, reader);
    adopt(h, protocol);
    return 0;
}

CardResult M4Card::disconnect() {
    SCARDHANDLE h = detach();
    authenticated_.clear();
    if (h == 0) {
        return 0;
    }
    LONG rv = channel_.disconnect(h);
    return rv == SCARD_S_SUCCESS ? 0 : rv;
}

CardResult M4Card::protectedTransmit(std::span<const std::uint8_t> command, CardAnswer& answer) {
    const bool listed =
        command.size() >= 2 &&
        (protectedIns_.empty() ||
         std::find(protectedIns_.begin(), protectedIns_.end(), command[1]) != protectedIns_.end());
    if (smOn_ && listed && command.size() >= 5) {
        return secureMessagingWrap(command, answer);
    }
    return rawTransmit(command, answer);
}

CardResult M4Card::rawTransmit(std::span<const std::uint8_t> command, CardAnswer& answer,
                               std::size_t capacity) {
    answer.data.wipe();
    answer.sw = 0;
    if (command.size() < 4 || capacity < 2) {
        return -1;
    }
    SecureBytes response;
    LONG rv = SCARD_S_SUCCESS;
    for (int attempt = 0; attempt < kMaxRawAttempts; ++attempt) {
        if (attempt > 0) {
            channel_.pause(kRetryPauseMs);
        }
        rv = sendChecked(command, response, capacity);
        const bool again =
            (rv == SCARD_S_SUCCESS && response.empty()) || isTransientReaderError(rv);
        if (!again) {
            break;
        }
    }
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    if (protocol_ == SCARD_PROTOCOL_T0 && response.size() == 2 && response[0] == 0x61 &&
        response[1] == 0x00) {
        // T=0 card with more data waiting: one GET RESPONSE sized from the caller's buffer.
        const std::uint8_t getResponse[6] = {
            0xA0, 0xC0, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(capacity & 0xFF)};
        rv = sendChecked(getResponse, response, capacity);
        if (rv != SCARD_S_SUCCESS) {
            return rv;
        }
    }
    answer.assignRaw(response.view());
    return resultFromSw(answer.sw);
}

CardResult M4Card::secureMessagingWrap(std::span<const std::uint8_t> command, CardAnswer& answer) {
    answer.data.wipe();
    answer.sw = 0;
    SecureBytes challenge;
    if (CardResult r = getChallenge(8, challenge); r != 0) {
        return r;
    }
    std::array<std::uint8_t, 8> hostRandom{};
    crypto::randomBytes(hostRandom);
    CardResult r = sendHostRandom(hostRandom);
    secureWipe(hostRandom.data(), hostRandom.size());
    if (r != 0) {
        return r;
    }
    const sm::SessionKeys keys{macKey_, encKey_};
    const std::span<const std::uint8_t, 8> ch(challenge.data(), 8);
    SecureBytes wrapped;
    try {
        wrapped = sm::wrapCommand(command, ch, keys);
    } catch (const std::invalid_argument&) {
        return -1;
    }
    CardAnswer protectedAnswer;
    r = rawTransmit(wrapped.view(), protectedAnswer);
    if (r < 0) {
        return r;
    }
    SecureBytes raw = rawResponse(protectedAnswer);
    sm::CheckedAnswer checked = sm::checkAnswer(raw.view(), command, ch, keys, kReceiveCapacity);
    answer.data = std::move(checked.data);
    answer.sw = checked.sw;
    return resultFromSw(answer.sw);
}

void M4Card::setSecureMessaging(bool on, const std::uint8_t* macKey, const std::uint8_t* encKey,
                                std::span<const std::uint8_t> instructions) {
    if (!on) {
        smOn_ = false;
        secureWipe(macKey_.data(), macKey_.size());
        secureWipe(encKey_.data(), encKey_.size());
        protectedIns_.clear();
        return;
    }
    if (macKey != nullptr) {
        std::copy_n(macKey, macKey_.size(), macKey_.begin());
    }
    if (encKey != nullptr) {
        std::copy_n(encKey, encKey_.size(), encKey_.begin());
    }
    protectedIns_.assign(instructions.begin(), instructions.end());
    smOn_ = true;
}

CardResult M4Card::getChallenge(std::uint8_t n, SecureBytes& challenge) {
    challenge.wipe();
    const std::uint8_t cmd[6] = {0x00, 0x84, 0x00, 0x00, 0x00, n};
    CardAnswer answer;
    CardResult r = rawTransmit(cmd, answer);
    if (r != 0) {
        return r;
    }
    if (answer.data.size() != n) {
        return kSwWrongLength;  // a challenge of the wrong size cannot be used
    }
    challenge = std::move(answer.data);
    return 0;
}

CardResult M4Card::sendHostRandom(std::span<const std::uint8_t, 8> random) {
    SecureBytes cmd = makeCommand({0x80, 0x86, 0x00, 0x00}, random);
    CardAnswer answer;
    return rawTransmit(cmd, answer);
}

CardResult M4Card::putDataPinAccess(std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() > 255) {
        return -1;
    }
    SecureBytes cmd = makeCommand({0x00, 0xDA, 0x01, 0x6E}, data);
    CardAnswer answer;
    return protectedTransmit(cmd, answer);
}

CardResult M4Card::pinCommand(std::initializer_list<std::uint8_t> header,
                              std::span<const std::uint8_t> data) {
    if (header.size() != 4 || data.size() > 255) {
        return -1;
    }
    if (CardResult r = ensurePathCurrent(); r != 0) {
        return r;
    }
    SecureBytes cmd = makeCommand(header, data);
    CardAnswer answer;
    return protectedTransmit(cmd, answer);
}

void M4Card::wipeSecrets() {
    CardBase::wipeSecrets();
    setSecureMessaging(false, nullptr, nullptr, {});
}

std::vector<std::span<const std::uint8_t>> M4Card::ownedBuffers() const {
    auto out = CardBase::ownedBuffers();
    out.emplace_back(macKey_.data(), macKey_.size());
    out.emplace_back(encKey_.data(), encKey_.size());
    return out;
}

}  // namespace cardolo
