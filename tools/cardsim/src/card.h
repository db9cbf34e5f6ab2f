// The virtual card's behaviour: answers command APDUs from its scenario (file system, PINs,
// keys, secure messaging), applies the scenario's faults and reports every exchange to a log.
#pragma once

#include "scenario.h"

#include <functional>
#include <random>
#include <string>

namespace cardsim {

class Card {
  public:
    using LogSink = std::function<void(const std::string& line)>;

    struct Answer {
        Bytes response;       // empty when the card leaves instead of answering
        bool remove = false;  // close the connection (after sending response, if any)
    };

    explicit Card(Scenario scenario, LogSink log = {});

    const Bytes& atr() const { return scenario_.atr; }
    int protocol() const { return scenario_.protocol; }

    // vpcd controls. Power-off and reset clear the volatile state (selection, verified PINs,
    // authenticated keys, challenge, pending GET RESPONSE answer).
    void powerOn();
    void powerOff();
    void reset();

    // One command APDU as it arrives from the reader.
    Answer transmit(std::span<const std::uint8_t> apdu);

    // Data received by PUT DATA, most recent last (tag P1P2, data).
    const std::vector<std::pair<std::uint16_t, Bytes>>& putData() const { return putData_; }

    // Read access for tests.
    const Pin* findPinForTest(const std::vector<std::uint16_t>& dfPath, std::uint8_t ref) const;

  private:
    struct Result {
        Bytes data;
        std::uint16_t sw = 0x9000;
    };
    struct PinRef {
        Node* df = nullptr;
        Pin* pin = nullptr;
    };

    void clearVolatile();
    void log(const std::string& line) const;
    Bytes answerFor(std::span<const std::uint8_t> apdu);
    Result execute(std::span<const std::uint8_t> apdu, bool isProtected);

    Result select(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data);
    Result readBinary(std::uint8_t p1, std::uint8_t p2, std::size_t le);
    Result updateBinary(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data);
    Result verify(std::uint8_t p2, std::span<const std::uint8_t> data, bool hasData);
    Result changeReference(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data);
    Result resetRetryCounter(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data);
    Result unblockBlock16(Pin& pin, std::span<const std::uint8_t> data);
    Result getChallenge(std::size_t le);
    Result externalAuthenticate(std::uint8_t p2, std::span<const std::uint8_t> data);
    Result setActivation(bool activate, std::span<const std::uint8_t> data);

    PinRef findPin(std::uint8_t ref);
    Key* findKey(std::uint8_t ref);
    // Compares a presented value with the PIN, counting a wrong value. Returns 9000, 63Cx,
    // 6983, 6984 or 6700 (wrong length, counter untouched).
    std::uint16_t checkPin(Pin& pin, std::span<const std::uint8_t> presented);
    // The new value as the card will store it, or nullopt when its length is unusable.
    std::optional<Bytes> newValue(const Pin& pin, std::span<const std::uint8_t> presented) const;
    Node* currentDf() const;

    Scenario scenario_;
    LogSink log_;
    std::mt19937 rng_;

    // Volatile state.
    Node* df_ = nullptr;
    Node* ef_ = nullptr;
    std::set<const Pin*> verified_;
    std::set<const Key*> authenticated_;
    Bytes challenge_;
    std::optional<Bytes> pendingResponse_;
    unsigned apduCount_ = 0;

    std::vector<std::pair<std::uint16_t, Bytes>> putData_;
};

}  // namespace cardsim
