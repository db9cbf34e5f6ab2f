// Test-side client of the token bench: reads the state the token_bench fixture wrote, gives each
// test its own copy of the prepared tokens, and runs the outside tools (pkcs11-tool) on them.
#pragma once

#include "pkcs11/pkcs11.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vantor::tokenbench {

// Where the fixture writes its state: $VANTOR_TOKEN_BENCH_STATE if set, else the build tree's
// token_bench/state file.
std::string statePath();

// The bench as the fixture left it: every key of the state file, plus typed accessors.
struct TokenBenchState {
    std::map<std::string, std::string> values;

    // The value of a key, "" when absent.
    std::string get(const std::string& key) const;
    CK_SLOT_ID slot(const std::string& key) const;  // token_slot, spare_slot, free_slot

    std::string conf() const { return get("conf"); }
    std::string module() const { return get("module"); }
    std::string tokenLabel() const { return get("token_label"); }
    std::string userPin() const { return get("user_pin"); }
    std::string soPin() const { return get("so_pin"); }
    CK_SLOT_ID tokenSlot() const { return slot("token_slot"); }
    CK_SLOT_ID spareSlot() const { return slot("spare_slot"); }
    CK_SLOT_ID freeSlot() const { return slot("free_slot"); }
    std::vector<CK_BYTE> keyId() const;  // key_id as bytes
};

// Reads and checks the state (conf, module and token directory exist); nullopt with the reason.
std::optional<TokenBenchState> readState(std::string* whyNot);

// Result of an outside tool.
struct ToolRun {
    int status = -1;     // exit status, -1 when it could not run or was killed at the time limit
    std::string output;  // stdout and stderr together, at most 1 MiB
};

// Runs a program (argv[0] a path) with the process environment, bounded by timeoutMs.
ToolRun runTool(const std::vector<std::string>& argv, int timeoutMs = 30000);

// A copy of the bench's token directory with its own SoftHSM2 configuration, removed again with
// the object. SoftHSM2 reads SOFTHSM2_CONF at every C_Initialize, so a module initialized after
// activate() works on this copy and whatever a test changes never reaches another test.
class TokenCopy {
  public:
    explicit TokenCopy(const TokenBenchState& state);
    ~TokenCopy();
    TokenCopy(const TokenCopy&) = delete;
    TokenCopy& operator=(const TokenCopy&) = delete;

    bool ok() const { return !conf_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& conf() const { return conf_; }
    // Points SOFTHSM2_CONF of this process (and of tools it starts) at the copy.
    void activate() const;

  private:
    std::string dir_, conf_, error_;
};

// A fixture that skips loudly without the bench, and otherwise gives every test a fresh copy of
// the prepared tokens with SOFTHSM2_CONF pointing at it (restored afterwards).
class TokenBenchTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const TokenBenchState& bench() const { return *state_; }
    const std::string& conf() const { return copy_->conf(); }
    // Throws the copy away and starts again from the prepared tokens (the module must be
    // finalized first, as SoftHSM2 reads its configuration only when initialized).
    bool resetTokens();
    // pkcs11-tool on the bench module and this test's tokens, with the given arguments.
    ToolRun pkcs11Tool(const std::vector<std::string>& args) const;

  private:
    std::optional<TokenBenchState> state_;
    std::unique_ptr<TokenCopy> copy_;
    std::optional<std::string> savedConf_;
};

}  // namespace vantor::tokenbench
