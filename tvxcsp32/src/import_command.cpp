// Card2WinStore's command-line parser.
#include "import_command.h"

#include <cctype>

namespace tvx {
namespace {

void skipBlanks(std::string_view line, std::size_t* at) {
    while (*at < line.size() && line[*at] == ' ') {
        ++(*at);
    }
}

// The text up to the next blank or the end.
std::string_view token(std::string_view line, std::size_t* at) {
    const std::size_t start = *at;
    while (*at < line.size() && line[*at] != ' ') {
        ++(*at);
    }
    return line.substr(start, *at - start);
}

}  // namespace

ImportCommand parseImportCommand(std::string_view line) {
    ImportCommand command;
    std::size_t at = 0;
    for (;;) {
        skipBlanks(line, &at);
        if (at >= line.size()) {
            return command;
        }
        if (line.size() - at < 2 || line[at] != '-') {
            command.valid = false;
            return command;
        }
        const char option =
            static_cast<char>(std::tolower(static_cast<unsigned char>(line[at + 1])));
        at += 2;
        if (option == 'q') {
            command.quiet = true;
        } else if (option == 'p') {
            skipBlanks(line, &at);
            std::string_view pin = token(line, &at);
            // A quoted PIN loses its quotes; it cannot hold blanks, as the token ends at one.
            if (!pin.empty() && pin.front() == '"') {
                pin.remove_prefix(1);
                if (!pin.empty() && pin.back() == '"') {
                    pin.remove_suffix(1);
                }
            }
            command.pin.emplace(reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size());
        } else if (option == 's') {
            skipBlanks(line, &at);
            if (at < line.size() && line[at] == '"') {
                // Up to the next double quote (or the end when there is none), blanks allowed.
                const std::size_t start = ++at;
                const std::size_t end = line.find('"', start);
                const std::size_t stop = end == std::string_view::npos ? line.size() : end;
                command.slot = std::string(line.substr(start, stop - start));
                at = end == std::string_view::npos ? line.size() : end + 1;
            } else {
                command.slot = std::string(token(line, &at));
            }
        } else {
            command.valid = false;
            return command;
        }
    }
}

}  // namespace tvx
