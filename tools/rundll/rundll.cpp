// rundll: loads a library through the platform loader and calls one of its rundll-style entry
// points, so that a person or a script can run it from a shell.
//
//   rundll LIBRARY,ENTRY [ARGUMENTS...]
//
// The entry point gets (no window, no instance, the arguments joined by blanks, SW_SHOWNORMAL).
// Exit code 0 when the thread's last error is 0 afterwards, 1 (with the code in hex) when it is
// not, 2 for a bad command line or a library or entry point that cannot be found.
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/windef.h"
#include "win/winuser.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using RundllEntry = void (*)(HWND, HINSTANCE, LPSTR, int);

void usage(FILE* out) {
    std::fputs(
        "usage: rundll LIBRARY,ENTRY [ARGUMENTS...]\n"
        "  Loads LIBRARY and calls its entry point ENTRY(hwnd, hinst, \"ARGUMENTS\", nCmdShow).\n"
        "  A bare LIBRARY name is taken from beside rundll when it is there; a name ending in\n"
        "  .dll is looked for as .so by the loader.\n"
        "  Exit code 0 when the entry point leaves the last error 0, else 1 (code printed).\n"
        "example: rundll tvxcsp32.so,Card2WinStore -q -p 1234 -s \"Virtual PCD 00 00\"\n",
        out);
}

// A bare file name found beside this program is loaded from there, as rundll32 finds the
// libraries of its own folder first.
std::string libraryPath(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return name;
    }
    std::string dir(self, static_cast<std::size_t>(n));
    dir.resize(dir.rfind('/') + 1);
    const std::string beside = dir + name;
    return access(beside.c_str(), R_OK) == 0 ? beside : name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        usage(stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("rundll %s\n", VANTOR_VERSION);
        return 0;
    }
    const std::size_t comma = first.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == first.size()) {
        std::fprintf(stderr, "rundll: expected LIBRARY,ENTRY, got \"%s\"\n", first.c_str());
        usage(stderr);
        return 2;
    }
    const std::string library = libraryPath(first.substr(0, comma));
    const std::string entryName = first.substr(comma + 1);

    // The shell split the arguments; the entry point parses one command line again.
    std::string commandLine;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) {
            commandLine += ' ';
        }
        const bool hasBlank = std::strchr(argv[i], ' ') != nullptr;
        if (hasBlank) {
            commandLine += '"';  // keeps a quoted argument one item for the entry point
        }
        commandLine += argv[i];
        if (hasBlank) {
            commandLine += '"';
        }
    }

    HMODULE module = LoadLibraryA(library.c_str());
    if (module == nullptr) {
        std::fprintf(stderr, "rundll: cannot load %s (0x%08X)\n", library.c_str(),
                     static_cast<unsigned>(GetLastError()));
        return 2;
    }
    auto entry = ProcAs<RundllEntry>(GetProcAddress(module, entryName.c_str()));
    if (entry == nullptr) {
        std::fprintf(stderr, "rundll: %s has no entry point %s\n", library.c_str(),
                     entryName.c_str());
        return 2;
    }
    SetLastError(0);
    entry(nullptr, nullptr, commandLine.data(), SW_SHOWNORMAL);
    const DWORD error = GetLastError();
    // The library stays loaded (here and above): it may have made threads or a Qt application
    // that outlive the call, and its static state is only released at process exit.
    if (error != 0) {
        std::fprintf(stderr, "rundll: %s failed: 0x%08X\n", entryName.c_str(),
                     static_cast<unsigned>(error));
        return 1;
    }
    return 0;
}
