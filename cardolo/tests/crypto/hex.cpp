// Hex and vector-file helpers shared by the crypto and secure-messaging tests.
#include "hex.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace cardolo::test {

Bytes fromHex(const std::string& text) {
    Bytes out;
    int pending = -1;
    for (const char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else if (c == ' ') {
            continue;
        } else {
            ADD_FAILURE() << "bad hex character in " << text;
            return {};
        }
        if (pending < 0) {
            pending = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(pending * 16 + v));
            pending = -1;
        }
    }
    EXPECT_LT(pending, 0) << "odd number of hex digits in " << text;
    return out;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

std::vector<VectorLine> readVectorFile(const std::string& name) {
    std::vector<VectorLine> lines;
    std::ifstream in(std::string(VECTOR_DIR) + "/" + name);
    EXPECT_TRUE(in.is_open()) << "cannot open vector file " << name;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (text.empty() || text[0] == '#') {
            continue;
        }
        VectorLine line;
        line.lineNumber = number;
        std::istringstream fields(text);
        std::string field;
        while (fields >> field) {
            line.fields.push_back(field);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace cardolo::test
