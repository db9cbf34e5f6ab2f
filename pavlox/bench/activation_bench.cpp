// Cost of creating an object through the registry (CLSIDFromProgID + CoCreateInstance of
// "Pavlox.P11Attribute", and CoCreateInstance by CLSID) against creating it from the server's
// class factory held by the caller, in one run on a private registry where pavlox.so (beside
// this program) is registered. The server is loaded by the first activation; what is timed is
// every later one, which is what a script pays per template object it creates.
//
// usage: pavlox_activation_bench   Prints per-call times and ratios; never judges them.
#include <stdlib.h>
#include <unistd.h>
#include "vantor/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "win/libloaderapi.h"
#include "win/objbase.h"
#include "win/oleauto.h"
#include "win/winreg.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 20000;
constexpr int kRounds = 7;
// CLSID of "Pavlox.P11Attribute".
constexpr CLSID kAttribute = {
    0x8F3536C8, 0x7D8F, 0x4DB0, {0xAF, 0xFE, 0x69, 0x47, 0x49, 0x65, 0xD9, 0x9C}};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Nanoseconds per call of body over kCalls calls; negative when a call failed.
template <typename Body>
double perCall(Body body) {
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        IUnknown* object = nullptr;
        if (FAILED(body(&object)) || object == nullptr) {
            return -1;
        }
        object->Release();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
}

}  // namespace

// The text of --help.
static const char kHelp[] =
    "usage: pavlox_activation_bench\n"
    "Times object creation by ProgID and CLSID against the class factory, on a private\n"
    "registry with pavlox.so (beside this program) registered. --help, --version.\n";

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "pavlox_activation_bench", kHelp)) {
        return 0;
    }
    if (argc > 1) {
        return vantor::cli::UsageError("pavlox_activation_bench",
                                       std::string("unknown argument '") + argv[1] + "'", 2);
    }
    char dir[] = "/tmp/vantor-activation-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 2;
    }
    setenv(VANTOR_REGISTRY_DIR_ENV, dir, 1);
    HMODULE server = LoadLibraryA("pavlox.dll");
    auto registerServer = ProcAs<HRESULT (*)()>(GetProcAddress(server, "DllRegisterServer"));
    auto getClassObject = ProcAs<LPFNGETCLASSOBJECT>(GetProcAddress(server, "DllGetClassObject"));
    IClassFactory* factory = nullptr;
    if (registerServer == nullptr || getClassObject == nullptr || FAILED(registerServer()) ||
        FAILED(getClassObject(kAttribute, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        std::fprintf(stderr, "cannot register or reach pavlox.so beside this program\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    auto direct = [&](IUnknown** out) {
        return factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(out));
    };
    auto byClsid = [&](IUnknown** out) {
        return CoCreateInstance(kAttribute, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(out));
    };
    auto byProgId = [&](IUnknown** out) {
        CLSID clsid{};
        HRESULT hr = CLSIDFromProgID(u"Pavlox.P11Attribute", &clsid);
        return FAILED(hr) ? hr
                          : CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                             reinterpret_cast<void**>(out));
    };
    // The first activation loads the server through the registry, as a script's first does.
    IUnknown* first = nullptr;
    if (FAILED(byProgId(&first))) {
        std::fprintf(stderr, "activation by ProgID failed\n");
        return 2;
    }
    first->Release();

    std::vector<double> directs, clsids, progIds;
    for (int r = 0; r < kRounds; ++r) {
        directs.push_back(perCall(direct));
        clsids.push_back(perCall(byClsid));
        progIds.push_back(perCall(byProgId));
        if (directs.back() < 0 || clsids.back() < 0 || progIds.back() < 0) {
            std::fprintf(stderr, "a creation failed in round %d\n", r);
            return 2;
        }
    }
    factory->Release();
    const double d = median(directs), c = median(clsids), p = median(progIds);
    std::printf("Creating Pavlox.P11Attribute, per object (median of %d rounds of %d):\n", kRounds,
                kCalls);
    std::printf("  class factory held by the caller   %8.2f us\n", d / 1000);
    std::printf("  CoCreateInstance by CLSID           %8.2f us   %.1fx factory\n", c / 1000,
                c / d);
    std::printf("  CLSIDFromProgID + CoCreateInstance  %8.2f us   %.1fx factory (target < 10 us)\n",
                p / 1000, p / d);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
