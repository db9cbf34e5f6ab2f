// Benchmark: CryptSignHash through the CryptoAPI front end and the provider against a raw
// C_SignInit + C_Sign loop on a logged-in session of the same token key (cardtoken.so over
// SoftHSM2), 2048- and 1024-bit keys, medians of interleaved rounds in one run; prints the ratios.
#include "card_bench.h"
#include "cardtoken_client.h"
#include "provider_support.h"
#include "vantor/cli.h"

#undef slots  // Qt's keyword would turn the module's slots() call into nonsense

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr int kSignatures = 40;

double timedMs(const std::function<bool()>& round) {
    const auto start = Clock::now();
    if (!round()) {
        return -1;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> times) {
    if (std::find_if(times.begin(), times.end(), [](double t) { return t < 0; }) != times.end()) {
        return -1;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Case {
    DWORD bits;
    const char* scenario;
    const char* label;  // the container label, %-escaped key ID
    CK_BYTE id;
    DWORD contextFlags;  // CRYPT_NEWKEYSET: the key is generated on the token first
};

// One key size: the provider loop and the raw loop on the same token key; false on failure.
bool runCase(vantor::bench::CardBench& bench, const Case& c) {
    using namespace tvxtest;
    if (!bench.insertCard(c.scenario, 0)) {
        std::fprintf(stderr, "cannot insert %s\n", c.scenario);
        return false;
    }
    const std::string container =
        "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\" + c.label;
    const std::vector<BYTE> data(1000, 0x42);
    Context ctx(container.c_str(), c.contextFlags);
    if (!ctx.ok() || ctx.setPin("1234") != 0) {
        std::fprintf(stderr, "cannot log in through the provider\n");
        return false;
    }
    HCRYPTKEY key = 0;
    if (!CryptGenKey(ctx.get(), AT_SIGNATURE, c.bits << 16, &key)) {
        std::fprintf(stderr, "no %u-bit token key\n", unsigned(c.bits));
        return false;
    }
    auto provider = [&] {
        for (int i = 0; i < kSignatures; ++i) {
            HCRYPTHASH hash = 0;
            BYTE sig[512];
            DWORD size = sizeof sig;
            const bool ok = CryptCreateHash(ctx.get(), CALG_SHA_256, 0, 0, &hash) &&
                            CryptHashData(hash, data.data(), DWORD(data.size()), 0) &&
                            CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &size);
            CryptDestroyHash(hash);
            if (!ok || size != c.bits / 8) {
                return false;
            }
        }
        return true;
    };
    // The raw loop: the same module instance, a session of its own on the same token, the
    // DigestInfo the provider sends (SHA-256 prefix + digest), CKM_RSA_PKCS.
    cardtoken::test::Client raw;
    raw.initialize();  // already initialised by the provider: answers so and goes on
    const auto slotList = raw.slots(true);
    CK_SESSION_HANDLE session = 0;
    if (slotList.empty() || raw.open(slotList.front(), &session) != CKR_OK) {
        std::fprintf(stderr, "no raw session\n");
        return false;
    }
    raw.login(session, "1234");
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_BYTE id = c.id;
    const auto keys = raw.find(session, {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}});
    if (keys.empty()) {
        std::fprintf(stderr, "no raw key\n");
        return false;
    }
    std::vector<CK_BYTE> digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    digestInfo.resize(digestInfo.size() + 32, 0x11);
    auto direct = [&] {
        for (int i = 0; i < kSignatures; ++i) {
            CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
            CK_BYTE sig[512];
            CK_ULONG size = sizeof sig;
            if (raw->C_SignInit(session, &mechanism, keys.back()) != CKR_OK ||
                raw->C_Sign(session, digestInfo.data(), CK_ULONG(digestInfo.size()), sig, &size) !=
                    CKR_OK) {
                return false;
            }
        }
        return true;
    };
    provider();  // warm both paths
    direct();
    // Interleaved rounds, so that a change of machine load falls on both loops alike.
    std::vector<double> viaProvider;
    std::vector<double> rawMs;
    for (int r = 0; r < kRounds; ++r) {
        viaProvider.push_back(timedMs(provider));
        rawMs.push_back(timedMs(direct));
    }
    raw->C_CloseSession(session);
    raw.unload();
    const double p = median(viaProvider);
    const double d = median(rawMs);
    if (p < 0 || d <= 0) {
        std::fprintf(stderr, "a signing loop failed\n");
        return false;
    }
    std::printf("%u-bit key, %d signatures per round, median of %d rounds\n", unsigned(c.bits),
                kSignatures, kRounds);
    std::printf("  raw C_SignInit+C_Sign  %8.2f ms\n", d);
    std::printf("  CryptSignHash          %8.2f ms\n", p);
    std::printf("  ratio provider/raw     %8.3f (target <= 1.15)\n", p / d);
    return true;
}

}  // namespace

// The text of --help.
static const char kHelp[] =
    "usage: tvxcsp32_sign_bench\n"
    "Times signing through CryptoAPI and tvxcsp32.so against a raw PKCS#11 loop, on the card\n"
    "bench (tools/bench/in-bench.sh). --help, --version: this text, the version.\n";

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "tvxcsp32_sign_bench", kHelp)) {
        return 0;
    }
    if (argc > 1) {
        return vantor::cli::UsageError("tvxcsp32_sign_bench",
                                       std::string("unknown argument '") + argv[1] + "'", 2);
    }
    std::string why;
    auto state = vantor::bench::readState(&why);
    if (!state) {
        std::printf("SKIPPED: card bench not running: %s\n", why.c_str());
        return 77;
    }
    vantor::bench::CardBench bench(*state);
    const std::string dir = tvxtest::makePrivateRegistry();
    std::string output;
    const std::string conf = cardtoken::test::makeBenchConf(dir + "/bench", &output);
    if (conf.empty()) {
        std::fprintf(stderr, "cannot prepare the bench: %s\n", output.c_str());
        return 1;
    }
    ::setenv("CARDTOKEN_CONF", conf.c_str(), 1);
    tvxtest::registerProvider(cardtoken::test::modulePath());
    // 2048 bits: the CNS token's key; 1024 bits: a pair generated on the M4 token.
    const Case cases[] = {{2048, "token-cns", "%01", 0x01, 0},
                          {1024, "token-m4", "%7C", 0x7C, CRYPT_NEWKEYSET}};
    int status = 0;
    for (const Case& c : cases) {
        if (!runCase(bench, c)) {
            status = 1;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
