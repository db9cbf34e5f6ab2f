// The shared command-line conventions: help, version and the form of a usage error.
#include "vantor/cli.h"

#include <cstring>

namespace vantor::cli {

const char* Version() {
    return VANTOR_SUITE_VERSION;
}

void PrintVersion(const char* program) {
    std::printf("%s (Vantor suite) %s\n", program, Version());
}

bool HandleStandardOptions(int argc, char** argv, const char* program, const char* help) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            break;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(help, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            PrintVersion(program);
            return true;
        }
    }
    return false;
}

int UsageError(const char* program, const std::string& what, int status) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, what.c_str(),
                 program);
    return status;
}

}  // namespace vantor::cli
