// PC/SC side of the module: the reader list with card presence, and the card serial by APDU.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cardtoken {

// One reader as pcsc-lite reports it at one moment.
struct ReaderState {
    std::string name;
    bool present = false;
    // pcsc-lite counts card insertions and removals per reader (the high 16 bits of the event
    // state); together with the name it tells one insertion of a card from the next.
    unsigned events = 0;
    std::vector<std::uint8_t> atr;
};

// An established pcsc-lite context, re-established when the daemon went away. Move-only.
class Pcsc final {
  public:
    Pcsc() = default;
    ~Pcsc();
    Pcsc(const Pcsc&) = delete;
    Pcsc& operator=(const Pcsc&) = delete;

    // Readers in SCardListReaders order with a zero-timeout status query; empty without pcscd.
    std::vector<ReaderState> snapshot();
    // The state of one reader now (nullopt when the reader is gone).
    std::optional<ReaderState> status(const std::string& reader);

    // The card serial, 16 characters: EF 1000/1003, else EF 2F02 bytes 18..25 as lower-case
    // hex, else the first 8 bytes of SHA-256 over the ATR as lower-case hex. nullopt when the
    // card cannot be talked to (gone, or held by another application past the wait).
    std::optional<std::string> readSerial(const std::string& reader,
                                          const std::vector<std::uint8_t>& atr);

  private:
    bool ensure();
    void drop();
    long context_ = 0;
    bool valid_ = false;
};

// The ATR fallback serial alone (also used by the tests).
std::string atrSerial(const std::vector<std::uint8_t>& atr);

}  // namespace cardtoken
