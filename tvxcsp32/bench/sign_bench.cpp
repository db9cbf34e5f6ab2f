// Benchmark: CryptSignHash through the CryptoAPI front end and the provider against a raw
// C_SignInit + C_Sign loop on a logged-in session of the same token key (cardtoken.so over
// SoftHSM2), medians of several rounds measured in one run; prints the ratio.
#include "card_bench.h"
#include "cardtoken_client.h"
#include "provider_support.h"

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

double medianMs(const std::function<bool()>& round) {
    std::vector<double> times;
    for (int r = 0; r < kRounds; ++r) {
        const auto start = Clock::now();
        if (!round()) {
            return -1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main() {
    using namespace tvxtest;
    std::string why;
    auto state = vantor::bench::readState(&why);
    if (!state) {
        std::printf("SKIPPED: card bench not running: %s\n", why.c_str());
        return 77;
    }
    vantor::bench::CardBench bench(*state);
    const std::string dir = makePrivateRegistry();
    std::string output;
    const std::string conf = cardtoken::test::makeBenchConf(dir + "/bench", &output);
    if (conf.empty() || !bench.insertCard("token-cns", 0)) {
        std::fprintf(stderr, "cannot prepare the bench: %s\n", output.c_str());
        return 1;
    }
    ::setenv("CARDTOKEN_CONF", conf.c_str(), 1);
    registerProvider(cardtoken::test::modulePath());
    const std::string container = "\\\\.\\" + vantor::bench::CardBench::readerName(0) + "\\%01";
    const std::vector<BYTE> data(1000, 0x42);
    int status = 0;
    {
        Context ctx(container.c_str(), 0);
        if (!ctx.ok() || ctx.setPin("1234") != 0) {
            std::fprintf(stderr, "cannot log in through the provider\n");
            return 1;
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
                if (!ok) {
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
            return 1;
        }
        raw.login(session, "1234");
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_BYTE id = 0x01;
        const auto keys = raw.find(session, {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}});
        if (keys.empty()) {
            std::fprintf(stderr, "no raw key\n");
            return 1;
        }
        std::vector<CK_BYTE> digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                           0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                           0x01, 0x05, 0x00, 0x04, 0x20};
        digestInfo.resize(digestInfo.size() + 32, 0x11);
        auto direct = [&] {
            for (int i = 0; i < kSignatures; ++i) {
                CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
                CK_BYTE sig[512];
                CK_ULONG size = sizeof sig;
                if (raw->C_SignInit(session, &mechanism, keys.front()) != CKR_OK ||
                    raw->C_Sign(session, digestInfo.data(), CK_ULONG(digestInfo.size()), sig,
                                &size) != CKR_OK) {
                    return false;
                }
            }
            return true;
        };
        provider();  // warm both paths
        direct();
        const double viaProvider = medianMs(provider);
        const double rawMs = medianMs(direct);
        raw->C_CloseSession(session);
        if (viaProvider < 0 || rawMs <= 0) {
            std::fprintf(stderr, "a signing loop failed\n");
            status = 1;
        } else {
            std::printf("2048-bit key, %d signatures per round, median of %d rounds\n", kSignatures,
                        kRounds);
            std::printf("  raw C_SignInit+C_Sign  %8.2f ms\n", rawMs);
            std::printf("  CryptSignHash          %8.2f ms\n", viaProvider);
            std::printf("  ratio provider/raw     %8.3f (target <= 1.15)\n", viaProvider / rawMs);
        }
        raw.unload();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
