// cardolo_bench: wall time and APDU count of PCSC_GetATR, PCSC_GetFSType and CNS_GetSerial on
// the card bench, against a bare pcsc-lite client doing the same PC/SC work with the same APDUs,
// measured alternately in the same run. Prints the ratios. Run inside the bench:
//   tools/bench/in-bench.sh tools/bench/run-with-card.sh cns build/default/bin/cardolo_bench
// or with no card inserted (it inserts the CNS card itself when the bench is up).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bare_client.h"
#include "card_bench.h"
#include "cardolo/cardolo.h"
#include "win/windows.h"

namespace {

using Clock = std::chrono::steady_clock;
using cardolo::bench::BareClient;
using vantor::bench::Bytes;

double medianMs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Row {
    const char* name;
    std::size_t apdus;
    std::size_t expectedApdus;
    double oursMs;
    double bareMs;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
    std::string why;
    auto state = vantor::bench::readState(&why);
    if (!state) {
        std::fprintf(stderr, "cardolo_bench: the card bench is not running (%s)\n", why.c_str());
        return 77;
    }
    vantor::bench::CardBench bench(*state);
    std::string error;
    if (!bench.insertCard("cns", 0, {}, &error)) {
        std::fprintf(stderr, "cardolo_bench: cannot insert the CNS card: %s\n", error.c_str());
        return 1;
    }
    HMODULE lib = LoadLibraryA("cardolo.dll");
    if (lib == nullptr) {
        std::fprintf(stderr, "cardolo_bench: cardolo.so not found\n");
        return 1;
    }
    auto getAtr = ProcAs<PCSC_GetATR_t>(GetProcAddress(lib, "PCSC_GetATR"));
    auto getFs = ProcAs<PCSC_GetFSType_t>(GetProcAddress(lib, "PCSC_GetFSType"));
    auto getSerial = ProcAs<CNS_GetSerial_t>(GetProcAddress(lib, "CNS_GetSerial"));
    const int index = bench.readerIndex(0);
    const std::string reader = vantor::bench::CardBench::readerName(0);
    BareClient bare(reader);

    // The APDUs each export sends, taken from the card's own log of one call.
    auto apdusOf = [&](const std::function<void()>& call) {
        std::size_t before = bench.exchanges(0).size();
        call();
        auto all = bench.exchanges(0);
        std::vector<Bytes> out;
        for (std::size_t i = before; i < all.size(); ++i) {
            out.push_back(all[i].command);
        }
        return out;
    };
    int32_t type = 0;
    char serial[17];
    char atr[80];
    const auto fsApdus = apdusOf([&] { getFs(index, &type); });
    const auto serialApdus = apdusOf([&] { getSerial(index, serial); });
    const auto atrApdus = apdusOf([&] {
        uint32_t n = sizeof(atr);
        getAtr(index, atr, &n);
    });

    auto time = [](const std::function<bool()>& fn) {
        auto t0 = Clock::now();
        bool ok = fn();
        auto t1 = Clock::now();
        return ok ? std::chrono::duration<double, std::milli>(t1 - t0).count() : -1.0;
    };
    std::vector<double> ours[3], base[3];
    for (int r = 0; r < rounds; ++r) {
        // Alternate the two sides so that drift in the machine's load hits both alike.
        base[0].push_back(time([&] { return bare.atr(); }));
        ours[0].push_back(time([&] {
            uint32_t n = sizeof(atr);
            return getAtr(index, atr, &n) == 0;
        }));
        base[1].push_back(time([&] { return bare.run(fsApdus); }));
        ours[1].push_back(time([&] { return getFs(index, &type) == 0; }));
        base[2].push_back(time([&] { return bare.run(serialApdus); }));
        ours[2].push_back(time([&] { return getSerial(index, serial) == 0; }));
    }
    const Row rows[] = {
        {"PCSC_GetATR", atrApdus.size(), 0, medianMs(ours[0]), medianMs(base[0])},
        {"PCSC_GetFSType", fsApdus.size(), 6, medianMs(ours[1]), medianMs(base[1])},
        {"CNS_GetSerial", serialApdus.size(), 4, medianMs(ours[2]), medianMs(base[2])},
    };
    std::printf("card path on the bench, %d rounds, medians (CNS card, T=1)\n", rounds);
    std::printf("%-16s %6s %9s %10s %10s %7s\n", "export", "APDUs", "expected", "cardolo ms",
                "bare ms", "ratio");
    bool ok = true;
    for (const Row& row : rows) {
        const double ratio = row.bareMs > 0 ? row.oursMs / row.bareMs : 0;
        std::printf("%-16s %6zu %9zu %10.3f %10.3f %7.3f\n", row.name, row.apdus, row.expectedApdus,
                    row.oursMs, row.bareMs, ratio);
        ok = ok && row.apdus == row.expectedApdus;
    }
    FreeLibrary(lib);
    if (!ok) {
        std::printf("APDU count differs from the fixed sequences\n");
        return 1;
    }
    return 0;
}
