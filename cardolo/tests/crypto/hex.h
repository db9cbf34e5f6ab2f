// Hex and vector-file helpers shared by the crypto and secure-messaging tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cardolo::test {

using Bytes = std::vector<std::uint8_t>;

// Parses hex digits (spaces allowed); a stray character or odd digit count fails the test.
Bytes fromHex(const std::string& text);
std::string toHex(std::span<const std::uint8_t> bytes);

struct VectorLine {
    int lineNumber = 0;
    std::vector<std::string> fields;  // whitespace-separated, first is the record kind
};

// Reads every non-comment, non-blank line of a vector file in VECTOR_DIR.
std::vector<VectorLine> readVectorFile(const std::string& name);

}  // namespace cardolo::test
