// Fuzz target: the configuration parser takes any bytes and either returns a configuration or
// throws ConfigError, never anything else.
#include "config.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const cardtoken::Config c = cardtoken::parseConfig(text, "/nonexistent");
        (void)c.forSerial("1000000000000014");
    } catch (const cardtoken::ConfigError&) {
    }
    return 0;
}
