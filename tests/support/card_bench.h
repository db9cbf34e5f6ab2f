// Test-side client of the card bench: finds the private pcscd started by the card_bench
// fixture, inserts virtual cards (cardsim) into its readers, reads their APDU logs, and plays
// "another application" resetting the card.
#pragma once

#include "win/winscard.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vantor::bench {

using Bytes = std::vector<std::uint8_t>;

// Where the bench fixture writes its state: $VANTOR_BENCH_STATE if set, else the build tree's
// bench/state file.
std::string statePath();

// The bench as the fixture left it.
struct BenchState {
    int port = 0;     // vpcd port of reader "Virtual PCD 00 00"; +1 for "... 00 01"
    pid_t pid = 0;    // the private pcscd
    std::string dir;  // bench directory in the build tree (logs go here)
    std::string pcscdLog;
};

// Reads and checks the state (pcscd alive, same mount namespace); nullopt with the reason.
std::optional<BenchState> readState(std::string* whyNot);

// Path of a shipped scenario: scenarioPath("cns") is .../tools/cardsim/scenarios/cns.card.
std::string scenarioPath(const std::string& name);
std::string cardsimPath();

// Readers in SCardListReadersA order (empty on failure).
std::vector<std::string> listReaders();
// The 1-based index of a reader in that order (the card library's reader index), 0 if absent.
int readerIndexOf(const std::string& reader);
// Waits (bounded) until the reader has a card (present) or none (!present).
bool waitForCard(const std::string& reader, bool present, int timeoutMs);
// Another application connects with its own context and disconnects resetting the card.
LONG resetCardFromOtherApplication(const std::string& reader);
// The ATR the reader reports for its card (empty without a card).
Bytes readerAtr(const std::string& reader);

// One APDU exchange from a cardsim log.
struct Exchange {
    Bytes command;
    Bytes response;              // empty when the card left without answering
    std::optional<Bytes> plain;  // the deciphered command of a protected one
};

// Parses a cardsim log; events ("# ...") go to *events when given.
std::vector<Exchange> parseApduLog(const std::string& path,
                                   std::vector<std::string>* events = nullptr);

std::string toHex(const Bytes& bytes);
Bytes fromHex(const std::string& hex);

class CardBench {
  public:
    explicit CardBench(BenchState state);
    ~CardBench();  // removes every card it inserted
    CardBench(const CardBench&) = delete;
    CardBench& operator=(const CardBench&) = delete;

    const BenchState& state() const { return state_; }
    static std::string readerName(int slot);  // "Virtual PCD 00 00" for slot 0
    int readerIndex(int slot) const { return readerIndexOf(readerName(slot)); }

    // Starts cardsim with the scenario (a name or a path) in the reader of the slot (0 or 1) with
    // a fresh log and waits until the card is present. extraArgs go to cardsim as they are
    // (e.g. {"--set", "fault once 00A4 6F00"}). Returns false with the reason in *error.
    bool insertCard(const std::string& scenario, int slot = 0,
                    const std::vector<std::string>& extraArgs = {}, std::string* error = nullptr);
    // Takes on a card someone else inserted into the slot's reader (tools/bench/run-with-card.sh
    // names its log in VANTOR_BENCH_CARD_LOG): exchanges() then read that log, and the card's
    // process is left to its owner. False when the reader has no card.
    bool adoptCard(int slot, const std::string& log);
    // SIGTERM to cardsim, then waits until the reader is empty. True when both happened.
    bool removeCard(int slot = 0);
    // True while the cardsim of the slot runs (false after it left by itself).
    bool cardRunning(int slot = 0);

    std::string logPath(int slot = 0) const { return cards_[slot].log; }
    std::vector<Exchange> exchanges(int slot = 0) const;
    std::vector<std::string> events(int slot = 0) const;

  private:
    struct Slot {
        pid_t pid = 0;
        std::string log;
    };
    BenchState state_;
    Slot cards_[2];
    unsigned counter_ = 0;
};

// A test fixture that skips (loudly) when the bench is not running and gives bench().
class CardBenchTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override { bench_.reset(); }
    CardBench& bench() { return *bench_; }

  private:
    std::unique_ptr<CardBench> bench_;
};

}  // namespace vantor::bench

// For tests without the fixture: declares `name` as a CardBench or skips the test.
#define VANTOR_CARD_BENCH_OR_SKIP(name)                           \
    std::string name##_why;                                       \
    auto name##_state = ::vantor::bench::readState(&name##_why);  \
    if (!name##_state) {                                          \
        GTEST_SKIP() << "card bench not running: " << name##_why; \
    }                                                             \
    ::vantor::bench::CardBench name(*name##_state)
