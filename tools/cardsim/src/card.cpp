// The virtual card's command interpreter. It is written from the card's point of view and never
// trusts the host: every length is checked against what arrived, unknown commands get the
// usual ISO 7816-4 refusals, and PIN counters behave as on a real card (63Cx, then 6983).
#include "card.h"

#include "secure_messaging.h"

#include <algorithm>

namespace cardsim {
namespace {

struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::span<const std::uint8_t> data;
    bool hasData = false;
    bool hasLe = false;
    std::size_t le = 0;  // 1..256 when hasLe
};

// Short APDUs only. A six-byte command whose fifth byte is 00 (as the host sends GET CHALLENGE
// and GET RESPONSE: "00 84 00 00 00 n") is read as an expected length n with no data.
std::optional<Apdu> parseApdu(std::span<const std::uint8_t> raw) {
    if (raw.size() < 4) {
        return std::nullopt;
    }
    Apdu a;
    a.cla = raw[0];
    a.ins = raw[1];
    a.p1 = raw[2];
    a.p2 = raw[3];
    if (raw.size() == 4) {
        return a;
    }
    if (raw.size() == 5) {
        a.hasLe = true;
        a.le = raw[4] == 0 ? 256 : raw[4];
        return a;
    }
    const std::size_t lc = raw[4];
    if (lc == 0) {
        if (raw.size() == 6) {
            a.hasLe = true;
            a.le = raw[5] == 0 ? 256 : raw[5];
            return a;
        }
        return std::nullopt;  // extended lengths are not supported
    }
    if (raw.size() == 5 + lc) {
        a.data = raw.subspan(5, lc);
        a.hasData = true;
        return a;
    }
    if (raw.size() == 6 + lc) {
        a.data = raw.subspan(5, lc);
        a.hasData = true;
        a.hasLe = true;
        a.le = raw.back() == 0 ? 256 : raw.back();
        return a;
    }
    return std::nullopt;
}

bool startsWith(std::span<const std::uint8_t> apdu, const Bytes& prefix) {
    return apdu.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), apdu.begin());
}

Bytes withSw(Bytes data, std::uint16_t sw) {
    data.push_back(static_cast<std::uint8_t>(sw >> 8));
    data.push_back(static_cast<std::uint8_t>(sw));
    return data;
}

bool sameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.size() != b.size()) {
        return false;
    }
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= a[i] ^ b[i];
    return diff == 0;
}

Bytes stripTrailing(std::span<const std::uint8_t> value, std::uint8_t filler) {
    std::size_t n = value.size();
    while (n > 0 && value[n - 1] == filler)
        --n;
    return Bytes(value.begin(), value.begin() + static_cast<long>(n));
}

}  // namespace

Card::Card(Scenario scenario, LogSink log)
    : scenario_(std::move(scenario)), log_(std::move(log)), rng_(std::random_device{}()) {
    clearVolatile();
}

void Card::log(const std::string& line) const {
    if (log_) {
        log_(line);
    }
}

void Card::clearVolatile() {
    df_ = scenario_.mf.get();
    ef_ = nullptr;
    verified_.clear();
    authenticated_.clear();
    wipe(challenge_);
    pendingResponse_.reset();
}

void Card::powerOn() {
    log("# power-on");
    clearVolatile();
}

void Card::powerOff() {
    log("# power-off");
    clearVolatile();
}

void Card::reset() {
    log("# reset");
    clearVolatile();
}

Node* Card::currentDf() const {
    return df_ != nullptr ? df_ : scenario_.mf.get();
}

Card::Answer Card::transmit(std::span<const std::uint8_t> apdu) {
    ++apduCount_;
    log("> " + toHex(apdu));
    Answer a;
    for (const Fault& f : scenario_.faults) {
        if (f.kind == FaultKind::RemoveOn && startsWith(apdu, f.prefix)) {
            log("# removed (on command " + toHex(f.prefix) + ")");
            a.remove = true;
            return a;
        }
    }
    a.response = answerFor(apdu);
    log("< " + toHex(a.response));
    if (scenario_.removeAfter && apduCount_ >= *scenario_.removeAfter) {
        log("# removed (after " + std::to_string(apduCount_) + " APDUs)");
        a.remove = true;
    }
    return a;
}

Bytes Card::answerFor(std::span<const std::uint8_t> apdu) {
    if (apdu.size() < 4) {
        return withSw({}, 0x6700);
    }
    for (Fault& f : scenario_.faults) {
        if (f.kind == FaultKind::Once && !f.used && startsWith(apdu, f.prefix)) {
            f.used = true;
            return withSw({}, f.sw);
        }
        if (f.kind == FaultKind::Always && startsWith(apdu, f.prefix)) {
            return withSw({}, f.sw);
        }
    }
    // GET RESPONSE: the answer held back by a 61 00, whatever Le asks for (the host's Le is the
    // low byte of its buffer size, not a length it expects).
    if ((apdu[0] == 0xA0 || apdu[0] == 0x00) && apdu[1] == 0xC0) {
        if (!pendingResponse_) {
            return withSw({}, 0x6985);
        }
        Bytes r = std::move(*pendingResponse_);
        pendingResponse_.reset();
        return r;
    }
    pendingResponse_.reset();

    Bytes response;
    if ((apdu[0] & 0x0C) == 0x0C) {
        // Secure messaging: the challenge serves one protected command only.
        Bytes challenge = std::move(challenge_);
        challenge_.clear();
        SmCommand cmd = unwrapCommand(scenario_.smKey, challenge, apdu);
        if (cmd.sw != 0x9000) {
            log(std::string("# refused: ") + cmd.reason);
            response = withSw({}, cmd.sw);
        } else {
            log("= " + toHex(cmd.plain));
            Result r = execute(cmd.plain, true);
            response =
                wrapResponse(scenario_.smKey, challenge, apdu[1], apdu[2], apdu[3], r.data, r.sw);
            wipe(r.data);
        }
        wipe(cmd.plain);
        wipe(challenge);
    } else {
        Result r = execute(apdu, false);
        response = withSw(std::move(r.data), r.sw);
    }
    for (const Fault& f : scenario_.faults) {
        if (f.kind == FaultKind::T0GetResponse && startsWith(apdu, f.prefix)) {
            pendingResponse_ = std::move(response);
            return {0x61, 0x00};
        }
    }
    return response;
}

Card::Result Card::execute(std::span<const std::uint8_t> raw, bool isProtected) {
    auto parsed = parseApdu(raw);
    if (!parsed) {
        return {{}, 0x6700};
    }
    const Apdu& a = *parsed;
    const std::uint8_t cla = a.cla & 0xF3;  // without the secure-messaging bits

    // Commands the scenario wants protected are refused in plain. For PIN commands the rule of
    // the DF holding the PIN applies, otherwise that of the current DF.
    if (!isProtected) {
        Node* target = currentDf();
        if (cla == 0x00 && (a.ins == 0x20 || a.ins == 0x24 || a.ins == 0x2C)) {
            if (PinRef r = findPin(a.p2 & 0x7F); r.pin)
                target = r.df;
        } else if (cla == 0x00 && (a.ins == 0x04 || a.ins == 0x44) && a.data.size() == 2) {
            if (PinRef r = findPin(a.data[1] & 0x7F); r.pin)
                target = r.df;
        }
        if (target->smRequired.count(a.ins) != 0) {
            log("# refused: protection required");
            return {{}, 0x6982};
        }
    }

    if (cla == 0x80) {
        if (a.ins == 0x86) {  // host random for the secure-messaging session
            if (a.p1 != 0 || a.p2 != 0)
                return {{}, 0x6A86};
            if (a.data.size() != 8)
                return {{}, 0x6700};
            return {};
        }
        if (a.ins == 0x24 && a.p1 == 0x30) {  // unblock with a 16-byte PUK/PIN block
            PinRef r = findPin(a.p2 & 0x7F);
            if (!r.pin)
                return {{}, 0x6A88};
            return unblockBlock16(*r.pin, a.data);
        }
        return {{}, 0x6D00};
    }
    if (cla != 0x00) {
        return {{}, 0x6E00};
    }
    switch (a.ins) {
        case 0xA4:
            return select(a.p1, a.p2, a.data);
        case 0xB0:
            if (!a.hasLe || a.hasData)
                return {{}, 0x6700};
            return readBinary(a.p1, a.p2, a.le);
        case 0xD6:
            if (!a.hasData)
                return {{}, 0x6700};
            return updateBinary(a.p1, a.p2, a.data);
        case 0x20:
            if (a.p1 != 0)
                return {{}, 0x6A86};
            return verify(a.p2, a.data, a.hasData);
        case 0x24:
            return changeReference(a.p1, a.p2, a.data);
        case 0x2C:
            return resetRetryCounter(a.p1, a.p2, a.data);
        case 0x84:
            if (a.p1 != 0 || a.p2 != 0)
                return {{}, 0x6A86};
            if (!a.hasLe || a.hasData)
                return {{}, 0x6700};
            return getChallenge(a.le);
        case 0x82:
            if (a.p1 != 0)
                return {{}, 0x6A86};
            return externalAuthenticate(a.p2, a.data);
        case 0x04:
        case 0x44:
            if (a.p1 != 0 || a.p2 != 0)
                return {{}, 0x6A86};
            return setActivation(a.ins == 0x44, a.data);
        case 0xDA:
            if (!a.hasData)
                return {{}, 0x6700};
            putData_.emplace_back(static_cast<std::uint16_t>(a.p1 << 8 | a.p2),
                                  Bytes(a.data.begin(), a.data.end()));
            log("# put-data " + toHex(std::span<const std::uint8_t>(raw).subspan(2, 2)) + " " +
                toHex(a.data));
            return {};
        default:
            return {{}, 0x6D00};
    }
}

Card::Result Card::select(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data) {
    if (p1 == 0x04) {
        return {{}, 0x6A82};  // no application is known by name
    }
    if (p1 != 0x00 && p1 != 0x09) {
        return {{}, 0x6A86};
    }
    if (p2 != 0x00 && p2 != 0x0C && p2 != 0x04) {
        return {{}, 0x6A86};
    }
    if (data.size() != 2) {
        return {{}, 0x6700};
    }
    const std::uint16_t fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    Node* mf = scenario_.mf.get();
    Node* found = nullptr;
    // Relative to the current DF (itself or a child), then the children of the MF.
    if (fid == 0x3F00) {
        found = mf;
    } else if (fid == currentDf()->fid && currentDf() != mf) {
        found = currentDf();
    } else if (Node* c = currentDf()->child(fid)) {
        found = c;
    } else if (Node* m = mf->child(fid)) {
        found = m;
    }
    if (found == nullptr) {
        return {{}, 0x6A82};
    }
    if (found->isDf) {
        df_ = found;
        ef_ = nullptr;
    } else {
        df_ = found->parent;
        ef_ = found;
    }
    if (p2 == 0x0C) {
        return {};
    }
    const std::size_t size = found->isDf ? 0 : found->data.size();
    Result r;
    r.data = {0x6F,
              0x0B,
              0x80,
              0x02,
              static_cast<std::uint8_t>(size >> 8),
              static_cast<std::uint8_t>(size),
              0x82,
              0x01,
              static_cast<std::uint8_t>(found->isDf ? 0x38 : 0x01),
              0x83,
              0x02,
              static_cast<std::uint8_t>(fid >> 8),
              static_cast<std::uint8_t>(fid)};
    return r;
}

Card::Result Card::readBinary(std::uint8_t p1, std::uint8_t p2, std::size_t le) {
    if (p1 & 0x80) {
        return {{}, 0x6A81};  // short EF identifiers are not supported
    }
    if (ef_ == nullptr) {
        return {{}, 0x6986};
    }
    const std::size_t offset = static_cast<std::size_t>(p1) << 8 | p2;
    const Bytes& file = ef_->data;
    if (offset > file.size()) {
        return {{}, 0x6B00};
    }
    const std::size_t n = std::min(le, file.size() - offset);
    Result r;
    r.data.assign(file.begin() + static_cast<long>(offset),
                  file.begin() + static_cast<long>(offset + n));
    r.sw = n < le ? 0x6282 : 0x9000;  // end of file reached before Le bytes
    return r;
}

Card::Result Card::updateBinary(std::uint8_t p1, std::uint8_t p2,
                                std::span<const std::uint8_t> data) {
    if (p1 & 0x80) {
        return {{}, 0x6A81};
    }
    if (ef_ == nullptr) {
        return {{}, 0x6986};
    }
    const std::size_t offset = static_cast<std::size_t>(p1) << 8 | p2;
    Bytes& file = ef_->data;
    if (offset > file.size()) {
        return {{}, 0x6B00};
    }
    if (data.size() > file.size() - offset) {
        return {{}, 0x6A84};  // transparent EFs keep their size
    }
    std::copy(data.begin(), data.end(), file.begin() + static_cast<long>(offset));
    return {};
}

Card::PinRef Card::findPin(std::uint8_t ref) {
    for (Node* n = currentDf(); n != nullptr; n = n->parent) {
        for (Pin& p : n->pins) {
            if (p.ref == ref) {
                return {n, &p};
            }
        }
    }
    return {};
}

Key* Card::findKey(std::uint8_t ref) {
    for (Node* n = currentDf(); n != nullptr; n = n->parent) {
        for (Key& k : n->keys) {
            if (k.ref == ref) {
                return &k;
            }
        }
    }
    return nullptr;
}

const Pin* Card::findPinForTest(const std::vector<std::uint16_t>& dfPath, std::uint8_t ref) const {
    const Node* n = scenario_.mf.get();
    for (std::uint16_t fid : dfPath) {
        n = n->child(fid);
        if (n == nullptr)
            return nullptr;
    }
    for (const Pin& p : n->pins) {
        if (p.ref == (ref & 0x7F))
            return &p;
    }
    return nullptr;
}

std::uint16_t Card::checkPin(Pin& pin, std::span<const std::uint8_t> presented) {
    if (pin.deactivated) {
        return 0x6984;
    }
    if (pin.tries == 0) {
        return 0x6983;
    }
    Bytes stored = pin.storedForm();
    if (pin.store == PinStore::Padded && presented.size() != 8) {
        return 0x6700;
    }
    // A card that keeps the value unpadded refuses the FF-padded form as a wrong length, which
    // tells the host to send the value as it is.
    if (pin.store == PinStore::Raw && presented.size() == 8 && presented.back() == 0xFF &&
        stored.size() != 8) {
        return 0x6700;
    }
    const bool ok = sameBytes(stored, presented);
    wipe(stored);
    if (ok) {
        pin.tries = pin.maxTries;
        return 0x9000;
    }
    --pin.tries;
    verified_.erase(&pin);
    return static_cast<std::uint16_t>(0x63C0 | pin.tries);
}

std::optional<Bytes> Card::newValue(const Pin& pin, std::span<const std::uint8_t> presented) const {
    if (pin.store == PinStore::Padded && presented.size() != 8) {
        return std::nullopt;
    }
    Bytes v = stripTrailing(presented, 0xFF);
    if (v.empty() || v.size() > 8) {
        return std::nullopt;
    }
    return v;
}

Card::Result Card::verify(std::uint8_t p2, std::span<const std::uint8_t> data, bool hasData) {
    PinRef r = findPin(p2 & 0x7F);
    if (!r.pin) {
        return {{}, 0x6A88};
    }
    Pin& pin = *r.pin;
    if (!hasData) {  // status query: how many tries are left
        if (pin.deactivated)
            return {{}, 0x6984};
        if (pin.tries == 0)
            return {{}, 0x6983};
        if (verified_.count(&pin))
            return {};
        return {{}, static_cast<std::uint16_t>(0x63C0 | pin.tries)};
    }
    const std::uint16_t sw = checkPin(pin, data);
    if (sw == 0x9000) {
        verified_.insert(&pin);
    }
    return {{}, sw};
}

Card::Result Card::changeReference(std::uint8_t p1, std::uint8_t p2,
                                   std::span<const std::uint8_t> data) {
    PinRef r = findPin(p2 & 0x7F);
    if (!r.pin) {
        return {{}, 0x6A88};
    }
    Pin& pin = *r.pin;
    if (pin.deactivated)
        return {{}, 0x6984};
    if (pin.tries == 0)
        return {{}, 0x6983};
    std::span<const std::uint8_t> fresh;
    if (p1 == 0x01) {
        // New value only: allowed once the current value was verified in this session.
        if (!verified_.count(&pin))
            return {{}, 0x6982};
        fresh = data;
    } else if (p1 == 0x00) {
        const std::size_t oldLength = pin.storedForm().size();
        if (data.size() <= oldLength)
            return {{}, 0x6700};
        const std::uint16_t sw = checkPin(pin, data.first(oldLength));
        if (sw != 0x9000)
            return {{}, sw};
        fresh = data.subspan(oldLength);
    } else {
        return {{}, 0x6A86};
    }
    auto v = newValue(pin, fresh);
    if (!v)
        return {{}, 0x6700};
    wipe(pin.value);
    pin.value = std::move(*v);
    pin.tries = pin.maxTries;
    return {};
}

Card::Result Card::resetRetryCounter(std::uint8_t p1, std::uint8_t p2,
                                     std::span<const std::uint8_t> data) {
    if (p1 != 0x00) {
        return {{}, 0x6A86};
    }
    PinRef r = findPin(p2 & 0x7F);
    if (!r.pin) {
        return {{}, 0x6A88};
    }
    Pin& pin = *r.pin;
    if (pin.deactivated)
        return {{}, 0x6984};
    if (pin.unblock == UnblockForm::Block16) {
        return unblockBlock16(pin, data);
    }
    Pin* puk = pin.puk ? findPin(*pin.puk).pin : nullptr;
    if (puk == nullptr) {
        return {{}, 0x6985};
    }
    // The data is the PUK in the form the card stores it, then the new value.
    const std::size_t pukLength = puk->storedForm().size();
    if (data.size() <= pukLength)
        return {{}, 0x6700};
    const std::uint16_t sw = checkPin(*puk, data.first(pukLength));
    if (sw != 0x9000)
        return {{}, sw};
    auto v = newValue(pin, data.subspan(pukLength));
    if (!v)
        return {{}, 0x6700};
    wipe(pin.value);
    pin.value = std::move(*v);
    pin.tries = pin.maxTries;
    return {};
}

Card::Result Card::unblockBlock16(Pin& pin, std::span<const std::uint8_t> data) {
    if (data.size() != 16) {
        return {{}, 0x6700};
    }
    Pin* puk = pin.puk ? findPin(*pin.puk).pin : nullptr;
    if (puk == nullptr) {
        return {{}, 0x6985};
    }
    if (puk->tries == 0) {
        return {{}, 0x6983};
    }
    // Both halves are zero-filled texts of at most 8 characters.
    Bytes expected(8, 0x00);
    std::copy_n(puk->value.begin(), std::min<std::size_t>(8, puk->value.size()), expected.begin());
    const bool ok = sameBytes(expected, data.first(8));
    wipe(expected);
    if (!ok) {
        --puk->tries;
        return {{}, static_cast<std::uint16_t>(0x63C0 | puk->tries)};
    }
    puk->tries = puk->maxTries;
    Bytes v = stripTrailing(data.subspan(8, 8), 0x00);
    if (v.empty()) {
        return {{}, 0x6A80};
    }
    wipe(pin.value);
    pin.value = std::move(v);
    pin.tries = pin.maxTries;
    return {};
}

Card::Result Card::getChallenge(std::size_t le) {
    Result r;
    r.data.resize(le);
    for (auto& b : r.data)
        b = static_cast<std::uint8_t>(rng_());
    challenge_ = r.data;
    return r;
}

Card::Result Card::externalAuthenticate(std::uint8_t p2, std::span<const std::uint8_t> data) {
    if (data.size() != 8) {
        return {{}, 0x6700};
    }
    Key* key = findKey(p2 & 0x7F);
    if (key == nullptr) {
        return {{}, 0x6A88};
    }
    if (challenge_.empty()) {
        return {{}, 0x6985};
    }
    // The cryptogram is the retail MAC over the whole last challenge; it serves one attempt.
    Bytes k = expandKey(key->value);
    Bytes mac = retailMac(k, challenge_);
    wipe(k);
    wipe(challenge_);
    const bool ok = sameBytes(mac, data);
    if (!ok) {
        log("# refused: wrong authentication cryptogram");
        return {{}, 0x6300};
    }
    authenticated_.insert(key);
    return {};
}

Card::Result Card::setActivation(bool activate, std::span<const std::uint8_t> data) {
    if (data.size() != 2) {
        return {{}, 0x6700};
    }
    PinRef r = findPin(data[1] & 0x7F);
    if (!r.pin || data[0] != 0x00) {
        return {{}, 0x6A88};
    }
    Pin& pin = *r.pin;
    if (activate) {
        // Reactivation is the PUK holder's right (or the card authority's, after authentication).
        const Pin* puk = pin.puk ? findPin(*pin.puk).pin : nullptr;
        const bool pukVerified = puk != nullptr && verified_.count(puk) != 0;
        if (!pukVerified && authenticated_.empty())
            return {{}, 0x6982};
        pin.deactivated = false;
    } else {
        if (authenticated_.empty())
            return {{}, 0x6982};
        pin.deactivated = true;
        verified_.erase(&pin);
    }
    return {};
}

}  // namespace cardsim
