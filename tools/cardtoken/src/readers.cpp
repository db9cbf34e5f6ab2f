// pcsc-lite calls of the module: reader list, zero-timeout presence, serial APDUs.
#include "readers.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace cardtoken {
namespace {

constexpr std::size_t kSerialLength = 16;
constexpr std::uint8_t kSelectMf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
constexpr std::uint8_t kSelectDf0[] = {0x00, 0xA4, 0x09, 0x0C, 0x02, 0x10, 0x00};
constexpr std::uint8_t kSelectIdCarta[] = {0x00, 0xA4, 0x09, 0x0C, 0x02, 0x10, 0x03};
constexpr std::uint8_t kReadSerial[] = {0x00, 0xB0, 0x00, 0x00, 0x10};
constexpr std::uint8_t kSelect2F02[] = {0x00, 0xA4, 0x09, 0x0C, 0x02, 0x2F, 0x02};
constexpr std::uint8_t kRead2F02[] = {0x00, 0xB0, 0x00, 0x12, 0x08};  // offset 18, 8 bytes

std::string hexLower(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

// A connected card, released (card left as it is) on every path.
class CardLink {
  public:
    CardLink(SCARDCONTEXT ctx, const std::string& reader) {
        DWORD protocol = 0;
        if (SCardConnect(ctx, reader.c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_,
                         &protocol) != SCARD_S_SUCCESS) {
            card_ = 0;
            return;
        }
        pci_ = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        // The transaction keeps our selections from interleaving with another application's
        // (the suite's card library holds one for each of its operations). pcsc-lite waits for
        // the other transaction to end; a holder that never ends it is a broken bench anyway.
        inTransaction_ = SCardBeginTransaction(card_) == SCARD_S_SUCCESS;
    }
    ~CardLink() {
        if (inTransaction_) {
            SCardEndTransaction(card_, SCARD_LEAVE_CARD);
        }
        if (card_ != 0) {
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        }
    }
    CardLink(const CardLink&) = delete;
    CardLink& operator=(const CardLink&) = delete;

    bool ok() const { return card_ != 0 && inTransaction_; }

    // Sends one APDU; the answer with its status word, or nullopt on a transmission error.
    std::optional<std::vector<std::uint8_t>> transmit(const std::uint8_t* apdu, std::size_t n) {
        std::uint8_t answer[258];
        DWORD length = sizeof answer;
        if (SCardTransmit(card_, pci_, apdu, n, nullptr, answer, &length) != SCARD_S_SUCCESS ||
            length < 2) {
            return std::nullopt;
        }
        return std::vector<std::uint8_t>(answer, answer + length);
    }

  private:
    SCARDHANDLE card_ = 0;
    const SCARD_IO_REQUEST* pci_ = nullptr;
    bool inTransaction_ = false;
};

bool success(const std::vector<std::uint8_t>& r) {
    return r.size() >= 2 && r[r.size() - 2] == 0x90 && r[r.size() - 1] == 0x00;
}

}  // namespace

std::string atrSerial(const std::vector<std::uint8_t>& atr) {
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(atr.data(), atr.size(), digest, &n, EVP_sha256(), nullptr) != 1 || n < 8) {
        return std::string(kSerialLength, '0');
    }
    return hexLower(digest, kSerialLength / 2);
}

Pcsc::~Pcsc() {
    drop();
}

bool Pcsc::ensure() {
    if (valid_ && SCardIsValidContext(static_cast<SCARDCONTEXT>(context_)) == SCARD_S_SUCCESS) {
        return true;
    }
    drop();
    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
        return false;
    }
    context_ = static_cast<long>(ctx);
    valid_ = true;
    return true;
}

void Pcsc::drop() {
    if (valid_) {
        SCardReleaseContext(static_cast<SCARDCONTEXT>(context_));
    }
    valid_ = false;
    context_ = 0;
}

std::vector<ReaderState> Pcsc::snapshot() {
    std::vector<ReaderState> out;
    for (int attempt = 0; attempt < 2 && out.empty(); ++attempt) {
        if (!ensure()) {
            return out;
        }
        const auto ctx = static_cast<SCARDCONTEXT>(context_);
        DWORD length = 0;
        LONG rv = SCardListReaders(ctx, nullptr, nullptr, &length);
        if (rv == SCARD_E_NO_READERS_AVAILABLE) {
            return out;
        }
        if (rv != SCARD_S_SUCCESS || length == 0) {
            // A daemon that restarted leaves our context dead: try once more with a new one.
            drop();
            continue;
        }
        std::string multi(length, '\0');
        if (SCardListReaders(ctx, nullptr, multi.data(), &length) != SCARD_S_SUCCESS) {
            drop();
            continue;
        }
        multi.resize(std::min<std::size_t>(length, multi.size()));
        // Walk the multi-string by bytes: each name ends at a zero, the list at an empty name.
        for (std::size_t pos = 0; pos < multi.size() && multi[pos] != '\0';) {
            const std::size_t end = multi.find('\0', pos);
            if (end == std::string::npos) {
                break;
            }
            ReaderState r;
            r.name = multi.substr(pos, end - pos);
            out.push_back(std::move(r));
            pos = end + 1;
        }
        std::vector<SCARD_READERSTATE> states(out.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            states[i].szReader = out[i].name.c_str();
            states[i].dwCurrentState = SCARD_STATE_UNAWARE;
        }
        if (!states.empty() &&
            SCardGetStatusChange(ctx, 0, states.data(), states.size()) == SCARD_S_SUCCESS) {
            for (std::size_t i = 0; i < out.size(); ++i) {
                const DWORD ev = states[i].dwEventState;
                out[i].present = (ev & SCARD_STATE_PRESENT) != 0 && (ev & SCARD_STATE_MUTE) == 0;
                out[i].events = static_cast<unsigned>((ev >> 16) & 0xFFFF);
                const std::size_t n = std::min<std::size_t>(states[i].cbAtr, MAX_ATR_SIZE);
                if (out[i].present) {
                    out[i].atr.assign(states[i].rgbAtr, states[i].rgbAtr + n);
                }
            }
        }
    }
    return out;
}

std::optional<ReaderState> Pcsc::status(const std::string& reader) {
    if (!ensure()) {
        return std::nullopt;
    }
    SCARD_READERSTATE s{};
    s.szReader = reader.c_str();
    s.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(context_), 0, &s, 1);
    if (rv != SCARD_S_SUCCESS) {
        if (rv != SCARD_E_UNKNOWN_READER) {
            drop();  // a dead daemon: the next call starts a new context
        }
        return std::nullopt;
    }
    ReaderState r;
    r.name = reader;
    r.present = (s.dwEventState & SCARD_STATE_PRESENT) != 0;
    r.events = static_cast<unsigned>((s.dwEventState >> 16) & 0xFFFF);
    return r;
}

std::optional<std::string> Pcsc::readSerial(const std::string& reader,
                                            const std::vector<std::uint8_t>& atr) {
    if (!ensure()) {
        return std::nullopt;
    }
    CardLink card(static_cast<SCARDCONTEXT>(context_), reader);
    if (!card.ok()) {
        return std::nullopt;
    }
    const auto mf = card.transmit(kSelectMf, sizeof kSelectMf);
    if (!mf) {
        return std::nullopt;
    }
    const auto df0 = card.transmit(kSelectDf0, sizeof kSelectDf0);
    if (!df0) {
        return std::nullopt;
    }
    if (success(*df0)) {
        const auto ef = card.transmit(kSelectIdCarta, sizeof kSelectIdCarta);
        if (!ef) {
            return std::nullopt;
        }
        if (success(*ef)) {
            const auto data = card.transmit(kReadSerial, sizeof kReadSerial);
            if (!data) {
                return std::nullopt;
            }
            if (success(*data) && data->size() == kSerialLength + 2) {
                std::string serial(data->begin(), data->begin() + kSerialLength);
                // The serial becomes a token serial and a file name part: printable only.
                if (std::all_of(serial.begin(), serial.end(),
                                [](char c) { return c > 0x20 && c < 0x7F; })) {
                    return serial;
                }
            }
        }
    } else {
        const auto ef = card.transmit(kSelect2F02, sizeof kSelect2F02);
        if (!ef) {
            return std::nullopt;
        }
        if (success(*ef)) {
            const auto data = card.transmit(kRead2F02, sizeof kRead2F02);
            if (!data) {
                return std::nullopt;
            }
            if (success(*data) && data->size() == kSerialLength / 2 + 2) {
                return hexLower(data->data(), kSerialLength / 2);
            }
        }
    }
    // The card answered but carries no readable serial.
    return atrSerial(atr);
}

}  // namespace cardtoken
