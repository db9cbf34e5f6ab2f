// The virtual card's description: ATR, file tree, PINs, keys, secure-messaging rules and faults,
// read from a line-based scenario file (format documented in tools/cardsim/README.md).
#pragma once

#include "card_crypto.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace cardsim {

// How the card stores and compares a PIN or PUK.
enum class PinStore {
    Padded,  // the 8-byte form, FF-padded: only an 8-byte value is accepted (6700 otherwise)
    Raw,     // the value as it is: an FF-padded 8-byte value whose real length differs gets 6700
};

// How RESET RETRY COUNTER carries the PUK and new PIN for this PIN.
enum class UnblockForm {
    Append,   // PUK in the card's stored form, then the new value
    Block16,  // 16 bytes: PUK at 0, new PIN at 8, each zero-filled
};

struct Pin {
    std::uint8_t ref = 0;  // reference without the 80 bit
    Bytes value;           // plain value (stored form derived from store)
    int tries = 3;
    int maxTries = 3;
    std::optional<std::uint8_t> puk;  // reference of the PUK that unblocks it
    PinStore store = PinStore::Padded;
    UnblockForm unblock = UnblockForm::Append;
    bool deactivated = false;

    // The bytes the card compares a presented value with.
    Bytes storedForm() const;
};

struct Key {
    std::uint8_t ref = 0;
    Bytes value;  // 8, 16 or 24 bytes
};

struct Node {
    std::uint16_t fid = 0;
    bool isDf = false;
    Bytes data;  // EF contents
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    std::vector<Pin> pins;
    std::vector<Key> keys;
    std::set<std::uint8_t> smRequired;  // INS bytes that must arrive protected in this DF

    Node* child(std::uint16_t id) const;
};

enum class FaultKind {
    T0GetResponse,  // answer 61 00, deliver the real answer on GET RESPONSE
    Once,           // answer a status word once, then behave
    Always,         // answer a status word every time
    RemoveOn,       // close the connection when the command arrives
};

struct Fault {
    FaultKind kind = FaultKind::Always;
    Bytes prefix;  // matches every command that starts with these bytes
    std::uint16_t sw = 0;
    bool used = false;
};

struct Scenario {
    Bytes atr;
    int protocol = 0;  // 0 = T=0, 1 = T=1 (from the ATR unless stated)
    Bytes smKey;       // 24 bytes
    std::unique_ptr<Node> mf;
    std::vector<Fault> faults;
    std::optional<unsigned> removeAfter;  // close after answering this many APDUs

    Scenario();
    Scenario(Scenario&&) noexcept = default;
    Scenario& operator=(Scenario&&) noexcept = default;
};

// Parses one scenario line into s; throws std::runtime_error with a message on a bad line.
void applyScenarioLine(Scenario& s, const std::string& line);

// Reads a whole scenario file; throws std::runtime_error naming the file and line.
Scenario loadScenario(const std::string& path);

// Reads a scenario from text (for tests); throws std::runtime_error on error.
Scenario parseScenario(const std::string& text);

// The first protocol the ATR offers (0 or 1): T=0 unless a TDi byte names T=1 first.
int protocolFromAtr(const Bytes& atr);

// Hex helpers; parseHex throws std::runtime_error on odd length or a non-hex character
// (spaces are ignored).
Bytes parseHex(const std::string& text);
std::string toHex(std::span<const std::uint8_t> bytes);

}  // namespace cardsim
