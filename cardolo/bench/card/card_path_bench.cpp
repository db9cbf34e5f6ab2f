// cardolo_bench: wall time and APDU count of PCSC_GetATR, PCSC_GetFSType and CNS_GetSerial on
// the card bench, against a bare pcsc-lite client doing the same PC/SC work with the same APDUs,
// measured alternately in the same run. Prints the ratios. By hand, on a bench of its own:
//   tools/bench/run-with-card.sh cns build/default/bin/cardolo_bench [ROUNDS]
// (it takes on the card that script inserts); under CTest's card bench it inserts the CNS card
// itself.
#include <time.h>
#include "vantor/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bare_client.h"
#include "card_bench.h"
#include "cardolo/cardolo.h"
#include "crypto/des.h"
#include "ops/pin_ops.h"
#include "sm/secure_messaging.h"
#include "win/windows.h"

namespace {

using Clock = std::chrono::steady_clock;
using cardolo::bench::BareClient;
using vantor::bench::Bytes;

double medianMs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Processor time of the calling thread: the secure-messaging cost is pure computation, and
// wall time would also count whatever else the machine runs meanwhile.
double threadCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// CPU cost of the secure-messaging wrap and answer check of one VERIFY, in process.
void printSecureMessagingCost() {
    const std::uint8_t* key = cardolo::defaultKey();
    const std::span<const std::uint8_t, 24> k(key, 24);
    const cardolo::sm::SessionKeys keys{k, k};
    const std::uint8_t challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::uint8_t verify[13] = {0x00, 0x20, 0x00, 0x9A, 0x08, '1', '1',
                                     '2',  '2',  '3',  '3',  '4',  '4'};
    std::uint8_t macInput[16] = {1, 2, 3, 4, 5, 6, 7, 8, 0x0C, 0x20, 0x00, 0x9A, 0, 0, 0, 0};
    const cardolo::crypto::Block mac = cardolo::crypto::retailMac(k, macInput);
    std::vector<std::uint8_t> answer = {0x8E, 0x08};
    answer.insert(answer.end(), mac.begin(), mac.end());
    answer.insert(answer.end(), {0x90, 0x00});
    constexpr int kIterations = 20000;
    std::size_t sink = 0;
    const double t0 = threadCpuUs();
    for (int i = 0; i < kIterations; ++i) {
        sink += cardolo::sm::wrapCommand(verify, challenge, keys).size();
    }
    const double t1 = threadCpuUs();
    for (int i = 0; i < kIterations; ++i) {
        sink += cardolo::sm::checkAnswer(answer, verify, challenge, keys, 256).sw;
    }
    const double t2 = threadCpuUs();
    std::printf(
        "secure messaging CPU per protected VERIFY: wrap %.2f us, answer check %.2f us"
        " (%zu)\n",
        (t1 - t0) / kIterations, (t2 - t1) / kIterations, sink % 10);
}

}  // namespace

// The text of --help.
static const char kHelp[] =
    "usage: cardolo_bench [ROUNDS]\n"
    "Times the card path of cardolo.so against a bare pcsc-lite client on the card bench\n"
    "(ROUNDS, at least 5, default 30); run it as tools/bench/run-with-card.sh cns cardolo_bench.\n"
    "--help, --version: this text, the version.\n";

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "cardolo_bench", kHelp)) {
        return 0;
    }
    char* end = nullptr;
    const long asked = argc > 1 ? std::strtol(argv[1], &end, 10) : 30;
    if (argc > 2 || (argc > 1 && (*argv[1] == '\0' || *end != '\0' || asked <= 0))) {
        return vantor::cli::UsageError(
            "cardolo_bench",
            std::string("ROUNDS is one positive number, not '") + argv[argc - 1] + "'", 2);
    }
    const int rounds = static_cast<int>(std::clamp(asked, 5L, 100000L));
    std::string why;
    auto state = vantor::bench::readState(&why);
    if (!state) {
        std::fprintf(stderr,
                     "cardolo_bench: the card bench is not running (%s); run it as "
                     "tools/bench/run-with-card.sh cns %s\n",
                     why.c_str(), argv[0]);
        return 77;
    }
    vantor::bench::CardBench bench(*state);
    std::string error;
    const char* givenLog = std::getenv("VANTOR_BENCH_CARD_LOG");
    if (givenLog != nullptr && *givenLog != '\0') {
        if (!bench.adoptCard(0, givenLog)) {
            std::fprintf(stderr, "cardolo_bench: no card in %s\n",
                         vantor::bench::CardBench::readerName(0).c_str());
            return 1;
        }
    } else if (!bench.insertCard("cns", 0, {}, &error)) {
        std::fprintf(stderr, "cardolo_bench: cannot insert the CNS card: %s\n", error.c_str());
        return 1;
    }
    HMODULE lib = LoadLibraryA("cardolo.dll");
    if (lib == nullptr) {
        std::fprintf(stderr, "cardolo_bench: cardolo.so not found\n");
        return 1;
    }
    const int index = bench.readerIndex(0);
    const std::string reader = vantor::bench::CardBench::readerName(0);
    BareClient bare(reader);
    auto bind = [&](const char* name) { return GetProcAddress(lib, name); };
    auto getAtr = ProcAs<PCSC_GetATR_t>(bind("PCSC_GetATR"));
    auto getFs = ProcAs<PCSC_GetFSType_t>(bind("PCSC_GetFSType"));
    auto getSerial = ProcAs<CNS_GetSerial_t>(bind("CNS_GetSerial"));
    auto verify = ProcAs<CNS_DS_VerifyPinPuk_t>(bind("CNS_DS_VerifyPinPuk"));
    auto change = ProcAs<CNS_DS_ChangePinPuk_t>(bind("CNS_DS_ChangePinPuk"));
    auto unblock = ProcAs<CNS_DS_UnblockPin_t>(bind("CNS_DS_UnblockPin"));
    auto deactivate = ProcAs<DS_DeactivatePin_t>(bind("DS_DeactivatePin"));
    auto reactivate = ProcAs<DS_ReactivatePin_t>(bind("DS_ReactivatePin"));
    auto u = [](const char* text) { return reinterpret_cast<const unsigned char*>(text); };

    int32_t type = 0;
    char serial[17];
    char atr[80];
    // Each case leaves the card as it found it, so the rounds can repeat it.
    struct Case {
        const char* name;
        std::size_t expectedApdus;
        std::function<bool()> call;
        bool atrOnly = false;
        std::vector<Bytes> apdus = {};
        std::vector<double> ours = {}, base = {};
    };
    std::vector<Case> cases = {
        {"PCSC_GetATR", 0,
         [&] {
             uint32_t n = sizeof(atr);
             return getAtr(index, atr, &n) == 0;
         },
         true},
        {"PCSC_GetFSType", 6, [&] { return getFs(index, &type) == 0; }},
        {"CNS_GetSerial", 4, [&] { return getSerial(index, serial) == 0; }},
        {"Verify PIN", 3,
         [&] {
             return verify(index, nullptr, u("12345678"), 8, nullptr, 0, nullptr, 0, nullptr, 0,
                           nullptr, 0) == 0;
         }},
        {"Verify sig PIN SM", 5,
         [&] {
             return verify(index, nullptr, nullptr, 0, nullptr, 0, u("11223344"), 8, nullptr, 0,
                           nullptr, 1) == 0;
         }},
        {"Change PIN", 4,
         [&] {
             return change(index, nullptr, u("12345678"), 8, u("12345678"), 8, nullptr, 0, nullptr,
                           0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 1) == 0;
         }},
        {"Unblock sig SM", 8,
         [&] {
             return unblock(index, nullptr, nullptr, 0, nullptr, 0, u("44332211"), 8, u("11223344"),
                            8, nullptr, 1) == 0;
         }},
        {"DS_DeactivatePin", 5, [&] { return deactivate(index, nullptr, nullptr, 1) == 0; }},
        {"DS_ReactivatePin", 7,
         [&] {
             return reactivate(index, nullptr, u("44332211"), 8, nullptr, 0, 0, 0, nullptr, 1) == 0;
         }},
    };
    // The APDUs each export sends, taken from the card's own log of one call. A protected
    // command replayed by the bare client is refused by the card (its challenge is spent), at
    // the same cost to the transport.
    for (Case& c : cases) {
        const std::size_t before = bench.exchanges(0).size();
        if (!c.call()) {
            std::fprintf(stderr, "cardolo_bench: %s failed on the CNS card\n", c.name);
            return 1;
        }
        const auto all = bench.exchanges(0);
        for (std::size_t i = before; i < all.size(); ++i) {
            c.apdus.push_back(all[i].command);
        }
    }
    auto time = [](const std::function<bool()>& fn) {
        auto t0 = Clock::now();
        fn();
        auto t1 = Clock::now();
        return std::chrono::duration<double, std::milli>(t1 - t0).count();
    };
    for (int r = 0; r < rounds; ++r) {
        // Alternate the two sides so that drift in the machine's load hits both alike.
        for (Case& c : cases) {
            c.base.push_back(time([&] { return c.atrOnly ? bare.atr() : bare.run(c.apdus); }));
            c.ours.push_back(time(c.call));
        }
    }
    std::printf("card path on the bench, %d rounds, medians (CNS card, T=1)\n", rounds);
    std::printf("%-18s %6s %9s %10s %10s %7s\n", "export", "APDUs", "expected", "cardolo ms",
                "bare ms", "ratio");
    bool ok = true;
    for (const Case& c : cases) {
        const double ours = medianMs(c.ours);
        const double base = medianMs(c.base);
        std::printf("%-18s %6zu %9zu %10.3f %10.3f %7.3f\n", c.name, c.apdus.size(),
                    c.expectedApdus, ours, base, base > 0 ? ours / base : 0.0);
        ok = ok && c.apdus.size() == c.expectedApdus;
    }
    printSecureMessagingCost();
    FreeLibrary(lib);
    if (!ok) {
        std::printf("APDU count differs from the fixed sequences\n");
        return 1;
    }
    return 0;
}
