// A bare pcsc-lite client: the PC/SC work any program must do to get the same result from the
// card, with nothing of the card library in between. The benchmark's baseline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cardolo::bench {

class BareClient {
  public:
    explicit BareClient(std::string reader) : reader_(std::move(reader)) {}
    // Context, reader list, connect, transaction, the APDUs, end, disconnect, release.
    bool run(const std::vector<std::vector<std::uint8_t>>& apdus);
    // Context, reader list, one status query with zero time-out, release.
    bool atr();

  private:
    std::string reader_;
};

}  // namespace cardolo::bench
