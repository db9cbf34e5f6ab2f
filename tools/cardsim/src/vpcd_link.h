// The card's side of the virtual reader driver's TCP protocol: connects as a client, then
// exchanges messages of a 2-byte big-endian length and a payload.
#pragma once

#include "card_crypto.h"

#include <atomic>
#include <optional>
#include <string>

namespace cardsim {

class VpcdLink {
  public:
    // stop is polled while waiting, so a signal handler can end a blocking read.
    explicit VpcdLink(const std::atomic<bool>& stop) : stop_(stop) {}
    ~VpcdLink();
    VpcdLink(const VpcdLink&) = delete;
    VpcdLink& operator=(const VpcdLink&) = delete;

    // Connects to host:port, retrying every 100 ms for up to timeoutMs while the driver is
    // not listening yet. Returns false with a message in error.
    bool connect(const std::string& host, int port, int timeoutMs, std::string& error);

    // The next message; nullopt when the driver closed the connection, an error occurred or
    // stop was set.
    std::optional<Bytes> receive();
    bool send(std::span<const std::uint8_t> payload);
    void close();

  private:
    bool readExact(std::uint8_t* out, std::size_t n);

    const std::atomic<bool>& stop_;
    int fd_ = -1;
};

}  // namespace cardsim
