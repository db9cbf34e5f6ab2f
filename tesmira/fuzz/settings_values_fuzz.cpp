// Fuzzes the parsers of the manager's stored settings (card types and window positions), which
// read whatever an installation or a user left in the registry.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "atr_table.h"
#include "window_position.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tesmira::ParseCardType(text);
    float value = 0;
    if (tesmira::ParseSingle(text, &value)) {
        // What is read back must be a number the store can write again and read the same.
        float again = 0;
        if (!std::isfinite(value) || !tesmira::ParseSingle(tesmira::FormatSingle(value), &again) ||
            again != value) {
            __builtin_trap();
        }
    }
    return 0;
}
