// CardBase: an ISO/IEC 7816-4 card bound to one PC/SC card handle, with path bookkeeping, the
// card-present check, READ/UPDATE BINARY and the generic transmit rules. Card families derive
// from it and override only what they do differently.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "card/apdu.h"
#include "card/card_channel.h"
#include "util/secure_bytes.h"

namespace cardolo {

// Whether a selected identifier is a dedicated file (appended to the path) or an elementary file
// (the current EF). Auto applies the fixed list of known DF identifiers.
enum class FileKind { Auto, Df, Ef };

class CardBase {
  public:
    CardBase(SCARDCONTEXT context, std::string reader, CardChannel& channel = pcscChannel());
    virtual ~CardBase();
    CardBase(const CardBase&) = delete;
    CardBase& operator=(const CardBase&) = delete;

    // The operations, in the order the card classes define them.
    virtual void setContext(SCARDCONTEXT context, std::string reader);
    // Selects by file identifier. With size non-null the file control information is asked for
    // and the file size parsed from it (0 when absent).
    virtual CardResult selectFile(std::uint16_t fid, FileKind kind = FileKind::Auto,
                                  std::uint16_t* size = nullptr);
    // Selects the MF, then each identifier in turn (the last one as its kind says).
    virtual CardResult selectPath(std::span<const std::uint16_t> path);
    // The same with each identifier given with its two bytes swapped.
    virtual CardResult selectPathSwapped(std::span<const std::uint16_t> path);
    // Selects the remembered path again (MF, DFs, current EF).
    virtual CardResult reselectCurrentPath();
    // Reads length bytes from offset of the current EF into out (at most 128 per command).
    // *read (optional) receives the byte count delivered; a short file ends the read early.
    virtual CardResult readBinary(std::uint16_t offset, std::span<std::uint8_t> out,
                                  std::size_t* read = nullptr);
    virtual CardResult readRecord();  // present in the operation table, not used by the library
    virtual CardResult updateBinary(std::uint16_t offset, std::span<const std::uint8_t> data);
    // Sends one command with this class's transport rules; answer receives data and status.
    virtual CardResult transmit(std::span<const std::uint8_t> command, CardAnswer& answer);
    // SCardStatusA into the caller's buffer.
    virtual CardResult getAtr(BYTE* atr, DWORD* length);
    virtual const SecureBytes* cachedFile(const std::vector<std::uint16_t>& path) const;
    virtual void resetFileCache();
    virtual const char* name() const;
    virtual void addRef();
    virtual void release();  // destroys the object at zero
    // Takes an existing card handle and reads its active protocol.
    virtual CardResult attach(SCARDHANDLE card);
    // Returns the handle and forgets it.
    virtual SCARDHANDLE detach();

    // Takes a handle this library has just connected, with its active protocol.
    void adopt(SCARDHANDLE card, DWORD protocol) {
        card_ = card;
        protocol_ = protocol;
    }
    SCARDHANDLE handle() const { return card_; }
    DWORD protocol() const { return protocol_; }
    // The remembered path below the MF (DFs), and the current EF if any.
    const std::vector<std::uint16_t>& currentPath() const { return path_; }
    std::optional<std::uint16_t> currentEf() const { return currentEf_; }
    // Wipes every buffer that may hold a PIN, PUK or key (called when an operation ends).
    virtual void wipeSecrets();
    // Every buffer the object holds that could carry a secret, for tests that prove the wiping.
    virtual std::vector<std::span<const std::uint8_t>> ownedBuffers() const;

  protected:
    // One SCardTransmit with the card-present check folded in: PC/SC refuses to send to a card
    // that was reset or removed since our last command and says which. A reset card is
    // reconnected, put back on the remembered path and the command sent again; a card that is
    // gone gives kCardGone. Nothing is ever sent to a card in an unknown state.
    LONG sendChecked(std::span<const std::uint8_t> command, SecureBytes& response,
                     std::size_t capacity);
    // One SCardTransmit with the active protocol's PCI into a buffer of capacity bytes.
    LONG sendOnce(std::span<const std::uint8_t> command, SecureBytes& response,
                  std::size_t capacity);
    static constexpr LONG kCardGone = -1;
    // P1 of SELECT by identifier for this card family.
    virtual std::uint8_t selectP1(std::uint16_t) const { return 0x00; }
    // Path bookkeeping after a successful selection.
    void noteSelected(std::uint16_t fid, FileKind kind);
    static bool isDfByDefault(std::uint16_t fid);
    void storeInCache(std::uint16_t offset, std::span<const std::uint8_t> bytes);
    std::vector<std::uint16_t> cacheKey() const;

    CardChannel& channel_;
    SCARDCONTEXT context_ = 0;
    std::string reader_;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    std::vector<std::uint16_t> path_;         // DFs below the MF
    std::optional<std::uint16_t> currentEf_;  // the current EF, if any
    bool pathCurrent_ = true;                 // false after a reset: the card is back at the MF
    bool restoringPath_ = false;              // a reselection after a reset is under way
    SecureBytes lastCommand_;                 // the last non-GET-RESPONSE command, for replay
    std::map<std::vector<std::uint16_t>, SecureBytes> cache_;
    int refs_ = 1;

  private:
    CardResult selectPathImpl(std::span<const std::uint16_t> path, bool swapped);
};

// Holds one reference to a card object and releases it when it goes.
class CardRef {
  public:
    CardRef() = default;
    explicit CardRef(CardBase* card) : card_(card) {}
    ~CardRef() { reset(); }
    CardRef(CardRef&& other) noexcept : card_(other.card_) { other.card_ = nullptr; }
    CardRef& operator=(CardRef&& other) noexcept {
        if (this != &other) {
            reset();
            card_ = other.card_;
            other.card_ = nullptr;
        }
        return *this;
    }
    CardRef(const CardRef&) = delete;
    CardRef& operator=(const CardRef&) = delete;

    void reset() {
        if (card_ != nullptr) {
            card_->release();
            card_ = nullptr;
        }
    }
    CardBase* get() const { return card_; }
    CardBase* operator->() const { return card_; }
    explicit operator bool() const { return card_ != nullptr; }

  private:
    CardBase* card_ = nullptr;
};

// Retry bounds of the transport loops: a card or reader that keeps answering with a retry
// condition must not hang the caller.
inline constexpr int kMaxBusyRetries = 4;  // PC/SC result with low byte 79
inline constexpr int kMaxReplays = 3;      // 6F 00 answers replayed
inline constexpr DWORD kRetryPauseMs = 500;

}  // namespace cardolo
