// regsvr: registers or unregisters an in-process server by calling its DllRegisterServer or
// DllUnregisterServer, and reports the HRESULT.
//
//   regsvr [-u] [-s] <server.so>      (/u and /s are accepted as well)
//
// Exit codes, as the Windows tool's: 0 done, 1 bad command line, 3 the module does not load,
// 4 the entry point is missing, 5 the entry point failed.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "vantor/cli.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"
#include "win/winerror.h"

namespace {

const char kHelp[] =
    "usage: regsvr [-u] [-s] SERVER.so\n"
    "Registers an in-process server (its DllRegisterServer) or unregisters it.\n"
    "  -u  unregister instead of register\n"
    "  -s  silent: report through the exit code only\n"
    "  --help, --version\n"
    "The registration goes to the machine hive (/var/lib/vantor/registry when writable;\n"
    "VANTOR_REGISTRY_DIR moves it).\n"
    "Exit status: 0 done, 1 a bad command line, 3 the library does not load, 4 it has no\n"
    "such entry point, 5 the entry point failed.\n";

int usageError(const std::string& what) {
    return vantor::cli::UsageError("regsvr", what, 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "regsvr", kHelp)) {
        return 0;
    }
    bool unregister = false;
    bool silent = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-u" || a == "/u" || a == "-U" || a == "/U") {
            unregister = true;
        } else if (a == "-s" || a == "/s" || a == "-S" || a == "/S") {
            silent = true;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            return usageError("one server at a time: '" + a + "' follows '" + path + "'");
        }
    }
    if (path == nullptr) {
        return usageError("no server library given");
    }
    // The server writes its own path into the registry, so it must be loaded by a full path.
    std::error_code ec;
    std::string full = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec) {
        full = path;
    }
    HMODULE module = LoadLibraryA(full.c_str());
    if (module == nullptr) {
        if (!silent) {
            std::fprintf(stderr, "regsvr: %s could not be loaded: %s\n", full.c_str(),
                         GetLastError() == ERROR_BAD_EXE_FORMAT
                             ? "not a shared library for this machine"
                             : "no such file, or a library it needs is missing (ldd shows which)");
        }
        return 3;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto fn = ProcAs<HRESULT (*)()>(GetProcAddress(module, entry));
    if (fn == nullptr) {
        if (!silent) {
            std::fprintf(stderr,
                         "regsvr: %s has no entry point %s: it is not a server that "
                         "registers itself\n",
                         full.c_str(), entry);
        }
        FreeLibrary(module);
        return 4;
    }
    HRESULT hr = fn();
    if (!silent) {
        if (SUCCEEDED(hr)) {
            std::printf("%s in %s succeeded (HRESULT 0x%08X).\n", entry, full.c_str(),
                        static_cast<unsigned>(hr));
        } else {
            std::fprintf(stderr, "%s in %s failed with HRESULT 0x%08X.\n", entry, full.c_str(),
                         static_cast<unsigned>(hr));
            // A server that cannot write its keys: the usual cause is the machine hive.
            if (hr == SELFREG_E_CLASS || hr == SELFREG_E_TYPELIB || hr == E_ACCESSDENIED) {
                std::fprintf(stderr,
                             "The registration could not be written: registering in the machine "
                             "hive (/var/lib/vantor/registry) needs root; VANTOR_REGISTRY_DIR=DIR "
                             "uses a private registry instead.\n");
            }
        }
    }
    FreeLibrary(module);
    return SUCCEEDED(hr) ? 0 : 5;
}
