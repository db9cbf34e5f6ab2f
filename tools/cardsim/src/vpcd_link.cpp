// TCP client for the virtual reader driver. Reads wait in poll() with a short period so that a
// stop request (SIGTERM) is noticed promptly; every wait is bounded.
#include "vpcd_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace cardsim {

VpcdLink::~VpcdLink() {
    close();
}

void VpcdLink::close() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_ = -1;
    }
}

bool VpcdLink::connect(const std::string& host, int port, int timeoutMs, std::string& error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            return true;
        }
        const int err = errno;
        ::close(fd);
        if (stop_ || std::chrono::steady_clock::now() >= deadline) {
            error = "cannot connect to " + host + ":" + std::to_string(port) + ": " +
                    std::strerror(err);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool VpcdLink::readExact(std::uint8_t* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        if (stop_) {
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return false;
        }
        if (r == 0) {
            continue;
        }
        // The driver writes a length and then the APDU as two segments; with delayed ACKs on
        // our side its Nagle algorithm would hold the second one back for up to 40 ms. Quick ACK
        // mode is not sticky in Linux, so it is asked for again before every read.
        const int quickAck = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &quickAck, sizeof quickAck);
        const ssize_t k = ::recv(fd_, out + got, n - got, 0);
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            return false;  // closed by the driver, or an error
        }
        got += static_cast<std::size_t>(k);
    }
    return true;
}

std::optional<Bytes> VpcdLink::receive() {
    if (fd_ < 0) {
        return std::nullopt;
    }
    std::uint8_t header[2];
    if (!readExact(header, 2)) {
        return std::nullopt;
    }
    Bytes payload(static_cast<std::size_t>(header[0]) << 8 | header[1]);
    if (!payload.empty() && !readExact(payload.data(), payload.size())) {
        return std::nullopt;
    }
    return payload;
}

bool VpcdLink::send(std::span<const std::uint8_t> payload) {
    if (fd_ < 0 || payload.size() > 0xFFFF) {
        return false;
    }
    Bytes frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t k = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(k);
    }
    return true;
}

}  // namespace cardsim
