// Fuzz target: Card2WinStore's command-line parser, with the invariants that a PIN never holds a
// blank and that an unknown item behind any line without "-s" makes it invalid.
#include "import_command.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The entry point receives a C string: the text up to the first NUL.
    const std::string line(reinterpret_cast<const char*>(data),
                           std::find(data, data + size, 0) - data);
    const tvx::ImportCommand command = tvx::parseImportCommand(line);
    if (command.pin &&
        std::find(command.pin->begin(), command.pin->end(), ' ') != command.pin->end()) {
        std::abort();
    }
    // A quoted slot text may swallow what follows, so the check is made on lines without "-s";
    // the "-q" in front of the unknown item is what a bare "-p" at the end takes as its PIN.
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("-s") == std::string::npos && tvx::parseImportCommand(line + " -q -x").valid) {
        std::abort();
    }
    return 0;
}
