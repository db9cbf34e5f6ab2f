// PCSC_AtrCmp: compares two ATR texts under a mask text, byte by byte.
#include <cstring>

#include "card/result_codes.h"
#include "ops/hex.h"
#include "ops/reader_ops.h"

namespace cardolo {

std::int32_t atrCompare(const char* a, const char* b, const char* mask) {
    constexpr std::int32_t kNoMatch = -1;
    if (a == nullptr || b == nullptr || mask == nullptr) {
        return kNoMatch;
    }
    // An ATR is at most 33 bytes; anything far longer is not an ATR text, and bounding the
    // scan keeps an unterminated argument from being read without end.
    // A text at the bound is refused outright: cutting it there would compare only a prefix
    // and could call two texts of different lengths a match.
    constexpr std::size_t kMaxText = 1024;
    const std::size_t lengthA = strnlen(a, kMaxText + 1);
    const std::size_t lengthB = strnlen(b, kMaxText + 1);
    const std::size_t lengthMask = strnlen(mask, kMaxText + 1);
    if (lengthA > kMaxText || lengthB > kMaxText || lengthMask > kMaxText) {
        return kNoMatch;
    }
    const std::size_t n = lengthA / 2;
    if (lengthB / 2 != n || lengthMask / 2 != n) {
        return kNoMatch;
    }
    for (std::size_t i = 0; i < n; ++i) {
        auto ai = hexPair(a + 2 * i);
        auto bi = hexPair(b + 2 * i);
        auto mi = hexPair(mask + 2 * i);
        if (!ai || !bi || !mi) {
            return kNoMatch;  // not hexadecimal: cannot match anything
        }
        if ((*mi & *bi) != (*mi & *ai)) {
            return kNoMatch;
        }
    }
    return kOk;
}

}  // namespace cardolo
