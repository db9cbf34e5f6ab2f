// The command line of Card2WinStore: "-p PIN", "-s SLOT" or "-s \"SLOT TEXT\"", "-q".
#pragma once

#include "vantor/secure_bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace tvx {

struct ImportCommand {
    std::optional<vantor::SecureBytes> pin;  // without terminator
    std::optional<std::string> slot;
    bool quiet = false;
    bool valid = true;  // false: an unknown item stopped the parse; nothing is imported
};

// Parses from left to right; option names compare case-insensitively over two characters, and
// anything that is not an option ends the parse as invalid (what came before it still counts,
// so "-q" followed by junk stays quiet).
ImportCommand parseImportCommand(std::string_view line);

}  // namespace tvx
