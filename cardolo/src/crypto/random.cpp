// Random bytes from getrandom, with its short reads and interruptions retried a bounded number of
// times.
#include "crypto/random.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace cardolo::crypto {

void randomBytes(std::span<std::uint8_t> out) {
    // getrandom may return fewer bytes than asked for large requests or be interrupted by a
    // signal; both are retried, but only a bounded number of times.
    constexpr int kMaxAttempts = 64;
    std::size_t done = 0;
    for (int attempt = 0; done < out.size(); ++attempt) {
        if (attempt >= kMaxAttempts) {
            throw std::runtime_error("system random generator keeps failing");
        }
        const ssize_t got = ::getrandom(out.data() + done, out.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("system random generator failed");
        }
        done += static_cast<std::size_t>(got);
    }
}

}  // namespace cardolo::crypto
