// Calls every export of the forwarding provider beside this program once, with null and zero
// arguments, and prints each result. Run from a folder that has no working card provider; exits
// 0 when every export returned 0, 1 when one did not, 2 when the forwarder cannot be used.
#include <cstdio>
#include <filesystem>
#include <string>

#include "entry_points.h"

int main(int argc, char** argv) {
    const std::string self = argc > 0 ? argv[0] : "";
    const std::string image = (std::filesystem::path(self).parent_path() / "vantor1.so").string();
    HMODULE forwarder = LoadLibraryA(image.c_str());
    if (forwarder == nullptr) {
        std::printf("cannot load %s\n", image.c_str());
        return 2;
    }
    int status = 0;
    for (const vantor1test::EntryPoint& entry : vantor1test::entryPoints()) {
        bool found = false;
        const BOOL result = entry.call(forwarder, vantor1test::Bits(entry.arity, 0), &found);
        if (!found) {
            std::printf("%s not exported\n", entry.name);
            return 2;
        }
        std::printf("%s %d\n", entry.name, result);
        status = result == 0 ? status : 1;
    }
    return status;
}
