// The system's cryptographic random generator for host challenges.
#pragma once

#include <cstdint>
#include <span>

namespace cardolo::crypto {

// Fills out with bytes from the system's cryptographic generator (getrandom); throws
// std::runtime_error if the generator fails.
void randomBytes(std::span<std::uint8_t> out);

}  // namespace cardolo::crypto
