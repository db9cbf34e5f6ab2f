// tesmira_seed: prepares a registry for the manager on the bench or in a demo, as an
// installation would: registers the automation server and writes the ATR table.
//
//   tesmira_seed [--register SERVER.so] [--atr ATR TYPE P11LIB]...
//
// The registry is the one VANTOR_REGISTRY_DIR names (the user's own without it). Each --atr adds
// one table entry with a mask of all ones; the entries replace any table written before.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "settings_store.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"

namespace {

struct Entry {
    std::string atr, type, p11;
};

int Usage() {
    std::fprintf(stderr, "usage: tesmira_seed [--register SERVER.so] [--atr ATR TYPE P11LIB]...\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string server;
    std::vector<Entry> entries;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--register") == 0 && i + 1 < argc) {
            server = argv[++i];
        } else if (std::strcmp(argv[i], "--atr") == 0 && i + 3 < argc) {
            entries.push_back({argv[i + 1], argv[i + 2], argv[i + 3]});
            i += 3;
        } else {
            return Usage();
        }
    }
    if (!server.empty()) {
        HMODULE module = LoadLibraryA(server.c_str());
        auto reg = module != nullptr
                       ? ProcAs<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"))
                       : nullptr;
        const HRESULT hr = reg != nullptr ? reg() : E_FAIL;
        if (hr != S_OK) {
            std::fprintf(stderr, "tesmira_seed: cannot register %s (0x%08X)\n", server.c_str(),
                         static_cast<unsigned>(hr));
            return 3;
        }
    }
    if (entries.empty()) {
        return 0;
    }
    // Keys a, b, c, ... as the installation numbers its entries.
    if (entries.size() > 26) {
        std::fprintf(stderr, "tesmira_seed: at most 26 ATR entries\n");
        return 1;
    }
    tesmira::SettingsStore settings;
    std::string list;
    for (std::size_t n = 0; n < entries.size(); ++n) {
        const std::string k(1, static_cast<char>('a' + n));
        const Entry& e = entries[n];
        const bool ok = settings.save("ATRs", k + "-atr", e.atr) &&
                        settings.save("ATRs", k + "-atrMask", std::string(e.atr.size(), 'F')) &&
                        settings.save("ATRs", k + "-P11", e.p11) &&
                        settings.save("ATRs", k + "-name", "card " + k) &&
                        settings.save("ATRs", k + "-type", e.type);
        if (!ok) {
            std::fprintf(stderr, "tesmira_seed: the registry refused entry %s\n", k.c_str());
            return 3;
        }
        list += k;
    }
    if (!settings.save("ATRs", "list", list)) {
        std::fprintf(stderr, "tesmira_seed: the registry refused the list\n");
        return 3;
    }
    return 0;
}
