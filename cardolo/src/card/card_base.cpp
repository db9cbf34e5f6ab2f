// CardBase: selection, path bookkeeping, binary file access and the generic transmit rules.
#include "card/card_base.h"

#include <algorithm>

#include "sm/tlv.h"

namespace cardolo {

namespace {

constexpr std::size_t kResponseCapacity = 256;
constexpr std::size_t kReadChunk = 128;
constexpr std::size_t kUpdateChunk = 64;
constexpr std::uint16_t kMf = 0x3F00;

bool isGetResponse(std::span<const std::uint8_t> cmd) {
    return cmd.size() == 5 && cmd[0] == 0x00 && cmd[1] == 0xC0 && cmd[2] == 0x00 && cmd[3] == 0x00;
}

bool endsWith6F00(const SecureBytes& response) {
    return response.size() >= 2 && response[response.size() - 2] == 0x6F &&
           response[response.size() - 1] == 0x00;
}

bool isBusy(LONG rv) {
    return (static_cast<DWORD>(rv) & 0xFF) == 0x79;
}

}  // namespace

CardBase::CardBase(SCARDCONTEXT context, std::string reader, CardChannel& channel)
    : channel_(channel), context_(context), reader_(std::move(reader)) {}

CardBase::~CardBase() {
    lastCommand_.wipe();
    for (auto& [key, bytes] : cache_) {
        bytes.wipe();
    }
}

void CardBase::setContext(SCARDCONTEXT context, std::string reader) {
    context_ = context;
    reader_ = std::move(reader);
}

bool CardBase::isDfByDefault(std::uint16_t fid) {
    switch (fid) {
        case 0x0000:
        case 0x1111:
        case 0x1112:
        case 0x1FFF:
        case 0x2FFF:
        case 0xDF01:
            return true;
        default:
            return false;
    }
}

void CardBase::noteSelected(std::uint16_t fid, FileKind kind) {
    if (fid == kMf) {
        path_.clear();
        currentEf_.reset();
        pathCurrent_ = true;
        return;
    }
    bool df = kind == FileKind::Df || (kind == FileKind::Auto && isDfByDefault(fid));
    if (df) {
        path_.push_back(fid);
        currentEf_.reset();
    } else {
        currentEf_ = fid;
    }
}

CardResult CardBase::selectFile(std::uint16_t fid, FileKind kind, std::uint16_t* size) {
    // After a reset the card is back at the MF while the bookkeeping still names the old path:
    // put the card back where the bookkeeping says before selecting relative to it.
    if (!pathCurrent_ && fid != kMf) {
        CardResult r = reselectCurrentPath();
        if (r != 0 && r != kSwWarnSelected) {
            return r;
        }
    }
    const std::uint8_t p2 = size != nullptr ? 0x00 : 0x0C;
    const std::uint8_t id[2] = {static_cast<std::uint8_t>(fid >> 8),
                                static_cast<std::uint8_t>(fid)};
    SecureBytes cmd = makeCommand({0x00, 0xA4, selectP1(fid), p2}, id);
    CardAnswer answer;
    CardResult r = transmit(cmd, answer);
    if (size != nullptr) {
        *size = selectionFound(r) ? sm::fciFileSize(answer.data.view()) : 0;
    }
    if (selectionFound(r)) {
        noteSelected(fid, kind);
    }
    return r;
}

CardResult CardBase::selectPathImpl(std::span<const std::uint16_t> path, bool swapped) {
    CardResult r = selectFile(kMf, FileKind::Df);
    if (!selectionFound(r)) {
        return r;
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        std::uint16_t fid = path[i];
        if (swapped) {
            fid = static_cast<std::uint16_t>((fid >> 8) | (fid << 8));
        }
        FileKind kind = i + 1 < path.size() ? FileKind::Df : FileKind::Auto;
        r = selectFile(fid, kind);
        if (!selectionFound(r)) {
            return r;
        }
    }
    return r;
}

CardResult CardBase::selectPath(std::span<const std::uint16_t> path) {
    return selectPathImpl(path, false);
}

CardResult CardBase::selectPathSwapped(std::span<const std::uint16_t> path) {
    return selectPathImpl(path, true);
}

CardResult CardBase::reselectCurrentPath() {
    const std::vector<std::uint16_t> dfs = path_;
    const std::optional<std::uint16_t> ef = currentEf_;
    pathCurrent_ = true;  // selecting the MF below makes the bookkeeping match the card again
    CardResult r = selectFile(kMf, FileKind::Df);
    for (std::size_t i = 0; selectionFound(r) && i < dfs.size(); ++i) {
        r = selectFile(dfs[i], FileKind::Df);
    }
    if (selectionFound(r) && ef) {
        r = selectFile(*ef, FileKind::Ef);
    }
    if (!selectionFound(r)) {
        // Keep the remembered path so a later attempt can restore it.
        path_ = dfs;
        currentEf_ = ef;
        pathCurrent_ = false;
    }
    return r;
}

CardResult CardBase::readBinary(std::uint16_t offset, std::span<std::uint8_t> out,
                                std::size_t* read) {
    if (read != nullptr) {
        *read = 0;
    }
    // Offsets are 15 bits in READ BINARY (the top bit of P1 selects a short file identifier).
    if (static_cast<std::size_t>(offset) + out.size() > 0x8000) {
        return -1;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t want = std::min(kReadChunk, out.size() - done);
        const std::size_t at = offset + done;
        SecureBytes cmd{0x00, 0xB0, static_cast<std::uint8_t>(at >> 8),
                        static_cast<std::uint8_t>(at), static_cast<std::uint8_t>(want)};
        CardAnswer answer;
        CardResult r = transmit(cmd, answer);
        if (r != 0) {
            return r;
        }
        const std::size_t got = std::min(want, answer.data.size());
        std::copy_n(answer.data.begin(), got, out.begin() + static_cast<std::ptrdiff_t>(done));
        done += got;
        if (got < want) {
            break;  // the file is shorter than asked: deliver what there is
        }
    }
    storeInCache(offset, out.first(done));
    if (read != nullptr) {
        *read = done;
    }
    return 0;
}

CardResult CardBase::readRecord() {
    return -1;
}

CardResult CardBase::updateBinary(std::uint16_t offset, std::span<const std::uint8_t> data) {
    if (static_cast<std::size_t>(offset) + data.size() > 0x8000) {
        return -1;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t n = std::min(kUpdateChunk, data.size() - done);
        const std::size_t at = offset + done;
        SecureBytes cmd = makeCommand(
            {0x00, 0xD6, static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at)},
            data.subspan(done, n));
        CardAnswer answer;
        CardResult r = transmit(cmd, answer);
        if (r != 0) {
            return r;
        }
        done += n;
    }
    storeInCache(offset, data);
    return 0;
}

namespace {

// Results by which PC/SC says the card is no longer there to talk to.
bool cardGone(LONG rv) {
    return rv == SCARD_W_REMOVED_CARD || rv == SCARD_E_NO_SMARTCARD ||
           rv == SCARD_E_INVALID_HANDLE || rv == SCARD_E_READER_UNAVAILABLE ||
           rv == SCARD_W_UNPOWERED_CARD || rv == SCARD_W_UNRESPONSIVE_CARD;
}

}  // namespace

LONG CardBase::sendChecked(std::span<const std::uint8_t> command, SecureBytes& response,
                           std::size_t capacity) {
    if (card_ == 0) {
        return kCardGone;
    }
    LONG rv = sendOnce(command, response, capacity);
    if (rv == SCARD_W_RESET_CARD) {
        DWORD active = 0;
        if (channel_.reconnect(card_, protocol_, &active) != SCARD_S_SUCCESS) {
            return kCardGone;
        }
        protocol_ = active != 0 ? active : protocol_;
        pathCurrent_ = path_.empty() && !currentEf_;
        if (!pathCurrent_ && !restoringPath_) {
            // The card is back at the MF: restore the remembered path before the command.
            restoringPath_ = true;
            CardResult r = reselectCurrentPath();
            restoringPath_ = false;
            if (!selectionFound(r)) {
                return r < 0 ? r : kCardGone;
            }
        }
        rv = sendOnce(command, response, capacity);
    }
    return cardGone(rv) || rv == SCARD_W_RESET_CARD ? kCardGone : rv;
}

LONG CardBase::sendOnce(std::span<const std::uint8_t> command, SecureBytes& response,
                        std::size_t capacity) {
    response.wipe();
    response.resize(capacity);
    DWORD length = static_cast<DWORD>(capacity);
    LONG rv = channel_.transmit(card_, protocol_, command.data(),
                                static_cast<DWORD>(command.size()), response.data(), &length);
    response.resize(rv == SCARD_S_SUCCESS ? std::min<std::size_t>(length, capacity) : 0);
    return rv;
}

CardResult CardBase::transmit(std::span<const std::uint8_t> command, CardAnswer& answer) {
    answer.data.wipe();
    answer.sw = 0;
    if (command.size() < 4) {
        return -1;
    }
    const bool getResponse = isGetResponse(command);
    if (!getResponse) {
        lastCommand_.wipe();
        lastCommand_.append(command);
    }
    SecureBytes response;
    int busy = 0;
    int replays = 0;
    for (;;) {
        LONG rv = sendChecked(command, response, kResponseCapacity);
        bool replay = false;
        if (isBusy(rv)) {
            if (!getResponse) {
                if (++busy > kMaxBusyRetries) {
                    return rv;
                }
                channel_.pause(kRetryPauseMs);
                continue;
            }
            replay = true;
        } else if (rv == SCARD_S_SUCCESS && endsWith6F00(response)) {
            replay = true;
        }
        if (replay && !lastCommand_.empty() && replays < kMaxReplays) {
            ++replays;
            // Replay the remembered command, then send the current one again. The replay works
            // on its own copy: a reset met on the way restores the path through this transmit,
            // which rewrites lastCommand_ under a view of it.
            const SecureBytes replayed(lastCommand_.view());
            SecureBytes scratch;
            int replayBusy = 0;
            LONG rr = sendChecked(replayed.view(), scratch, kResponseCapacity);
            while (isBusy(rr) && replayBusy++ < kMaxBusyRetries) {
                channel_.pause(kRetryPauseMs);
                rr = sendChecked(replayed.view(), scratch, kResponseCapacity);
            }
            if (rr == kCardGone) {
                return kCardGone;
            }
            continue;
        }
        if (rv != SCARD_S_SUCCESS) {
            return rv;  // kCardGone, or the PC/SC failure as it is
        }
        answer.assignRaw(response.view());
        return resultFromSw(answer.sw);
    }
}

CardResult CardBase::getAtr(BYTE* atr, DWORD* length) {
    if (card_ == 0 || length == nullptr) {
        return -1;
    }
    LONG rv = channel_.status(card_, nullptr, atr, length);
    return rv == SCARD_S_SUCCESS ? 0 : rv;
}

const SecureBytes* CardBase::cachedFile(const std::vector<std::uint16_t>& path) const {
    auto it = cache_.find(path);
    return it == cache_.end() ? nullptr : &it->second;
}

void CardBase::resetFileCache() {
    for (auto& [key, bytes] : cache_) {
        bytes.wipe();
    }
    cache_.clear();
}

std::vector<std::uint16_t> CardBase::cacheKey() const {
    std::vector<std::uint16_t> key = path_;
    if (currentEf_) {
        key.push_back(*currentEf_);
    }
    return key;
}

void CardBase::storeInCache(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
    SecureBytes& entry = cache_[cacheKey()];
    if (entry.size() < offset) {
        return;  // a gap: the cache only keeps contiguous contents from offset 0
    }
    if (entry.size() < offset + bytes.size()) {
        entry.resize(offset + bytes.size());
    }
    std::copy(bytes.begin(), bytes.end(), entry.begin() + offset);
}

const char* CardBase::name() const {
    return "";
}

void CardBase::addRef() {
    ++refs_;
}

void CardBase::release() {
    if (--refs_ == 0) {
        delete this;
    }
}

CardResult CardBase::attach(SCARDHANDLE card) {
    card_ = card;
    DWORD protocol = 0;
    LONG rv = channel_.status(card_, &protocol, nullptr, nullptr);
    if (rv != SCARD_S_SUCCESS) {
        return -1;
    }
    protocol_ = protocol;
    return 0;
}

SCARDHANDLE CardBase::detach() {
    SCARDHANDLE h = card_;
    card_ = 0;
    path_.clear();
    currentEf_.reset();
    pathCurrent_ = true;
    lastCommand_.wipe();
    return h;
}

void CardBase::wipeSecrets() {
    lastCommand_.wipe();
    resetFileCache();
}

std::vector<std::span<const std::uint8_t>> CardBase::ownedBuffers() const {
    std::vector<std::span<const std::uint8_t>> out;
    out.emplace_back(lastCommand_.data(), lastCommand_.capacity());
    for (const auto& [key, bytes] : cache_) {
        out.emplace_back(bytes.data(), bytes.capacity());
    }
    return out;
}

}  // namespace cardolo
