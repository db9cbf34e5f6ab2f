// The forwarding provider against stand-ins of the card provider: arguments, results and last
// errors pass through bit for bit, repeated calls keep the one loaded image, and without a
// usable card provider every export returns 0.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "entry_points.h"
#include "win/errhandlingapi.h"

namespace vantor1test {
namespace {

namespace fs = std::filesystem;

// A private folder holding a copy of the forwarder (with the platform's kernel library, which it
// finds beside itself) and, under the card provider's file name, the image given; removed at
// the end.
class ImageFolder {
  public:
    explicit ImageFolder(const std::string& provider) {
        char pattern[] = "/tmp/vantor1-test-XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? pattern : "";
        if (!dir_.empty()) {
            fs::copy_file(FORWARDER_IMAGE, dir_ + "/vantor1.so");
            fs::copy_file(KERNEL_IMAGE, dir_ + "/" + fs::path(KERNEL_IMAGE).filename().string());
            if (!provider.empty()) {
                fs::copy_file(provider, dir_ + "/tvxcsp32.so");
            }
        }
    }
    ~ImageFolder() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
};

using LastCallFn = const char* (*)(std::uint64_t*, int*, long*);

struct LastCall {
    std::string name;
    Bits args;
    long calls = 0;
};

LastCall lastCall(HMODULE standIn) {
    auto read = ProcAs<LastCallFn>(GetProcAddress(standIn, "RecordingLastCall"));
    LastCall call;
    if (read == nullptr) {
        return call;
    }
    std::uint64_t args[8];
    int count = 0;
    const char* name = read(args, &count, &call.calls);
    call.name = name != nullptr ? name : "";
    call.args.assign(args, args + count);
    return call;
}

// Every argument of every export reaches the provider with its exact bits (high bits, nulls and
// flags included); the provider's result and last error come back unchanged; and the provider
// image stays the one loaded at the first call however often the exports are called.
TEST(Forwarder, PassesEveryArgumentResultAndErrorThrough) {
    ImageFolder folder(RECORDING_IMAGE);
    ASSERT_FALSE(folder.dir().empty());
    HMODULE forwarder = LoadLibraryA((folder.dir() + "/vantor1.so").c_str());
    ASSERT_NE(forwarder, nullptr);
    // The same file the forwarder loads beside itself: the same loaded image.
    HMODULE standIn = LoadLibraryA((folder.dir() + "/tvxcsp32.so").c_str());
    ASSERT_NE(standIn, nullptr);

    const Bits patterns[] = {
        Bits(8, 0),
        Bits(8, ~std::uint64_t{0}),
        {0x8000000000000001u, 0xFEDCBA9876543210u, 0x00000000FFFFFFFEu, 0x7FFFFFFF80000000u,
         0x0123456789ABCDEFu, 0xC0000000000000F1u, 0x00000001FFFFFFFFu, 0xA5A5A5A55A5A5A5Au},
    };
    long calls = 0;
    for (const EntryPoint& entry : entryPoints()) {
        for (const Bits& pattern : patterns) {
            const Bits given(pattern.begin(), pattern.begin() + static_cast<long>(entry.arity));
            SetLastError(0);
            bool found = false;
            const BOOL result = entry.call(forwarder, given, &found);
            const DWORD error = GetLastError();
            ASSERT_TRUE(found) << entry.name << " is not exported";
            const LastCall seen = lastCall(standIn);
            EXPECT_EQ(seen.name, entry.name);
            EXPECT_EQ(seen.args, entry.cut(given)) << entry.name;
            const auto expected = static_cast<BOOL>(0x5A00 + std::string(entry.name).size());
            EXPECT_EQ(result, expected) << entry.name;
            EXPECT_EQ(error, 0xE0000000u | static_cast<DWORD>(expected)) << entry.name;
            EXPECT_EQ(seen.calls, ++calls) << entry.name << ": the provider image was reloaded";
        }
    }
    for (int round = 0; round < 2000; ++round) {
        bool found = false;
        entryPoints()[round % entryPoints().size()].call(forwarder, Bits(8, 1), &found);
    }
    EXPECT_EQ(lastCall(standIn).calls, calls + 2000);
}

struct ProbeRun {
    int status = -1;
    std::string output;
};

// Runs the probe from the folder, so that neither the folder of this program nor a library path
// offers the card provider.
ProbeRun runProbe(const std::string& dir) {
    fs::copy_file(ABSENT_PROBE, dir + "/absent_probe");
    const std::string command = "env -u LD_LIBRARY_PATH " + dir + "/absent_probe 2>&1";
    ProbeRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        run.output += buffer;
    }
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// Without the card provider's file, and with a file of that name that lacks the entry points,
// every export returns 0.
TEST(Forwarder, ReturnsZeroWithoutAUsableProvider) {
    for (const std::string& provider : {std::string(), std::string(EMPTY_IMAGE)}) {
        ImageFolder folder(provider);
        ASSERT_FALSE(folder.dir().empty());
        const ProbeRun run = runProbe(folder.dir());
        EXPECT_EQ(run.status, 0) << (provider.empty() ? "no provider file"
                                                      : "provider without entry points")
                                 << "\n"
                                 << run.output;
        for (const EntryPoint& entry : entryPoints()) {
            EXPECT_NE(run.output.find(std::string(entry.name) + " 0\n"), std::string::npos)
                << entry.name << "\n"
                << run.output;
        }
    }
}

}  // namespace
}  // namespace vantor1test
