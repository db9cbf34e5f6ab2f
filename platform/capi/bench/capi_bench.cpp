// CryptoAPI front end against OpenSSL, in one run: CryptSignHash with a 2048-bit key against
// EVP_DigestSign on the same key and data, and SHA-256 of 1 MiB through CryptHashData against
// EVP_Digest*. Rounds alternate the two sides; the median of the per-round ratios is printed
// against its target (signing 1.10x, hashing 1.05x). --check exits non-zero when a target is
// missed; CTest runs without it, as timings on a loaded machine must not decide a test.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include "vantor/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "win/errhandlingapi.h"
#include "win/wincrypt.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
constexpr int kRounds = 9;

void putDword(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

void putBn(Bytes& out, EVP_PKEY* key, const char* name, std::size_t size) {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(key, name, &n);
    Bytes le(size);
    BN_bn2lebinpad(n, le.data(), static_cast<int>(size));
    BN_clear_free(n);
    out.insert(out.end(), le.begin(), le.end());
}

Bytes privateBlob(EVP_PKEY* key) {
    Bytes out = {PRIVATEKEYBLOB, 2, 0, 0};
    putDword(out, CALG_RSA_SIGN);
    putDword(out, RSA2_MAGIC);
    putDword(out, 2048);
    putDword(out, 65537);
    putBn(out, key, OSSL_PKEY_PARAM_RSA_N, 256);
    for (const char* n :
         {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
          OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}) {
        putBn(out, key, n, 128);
    }
    putBn(out, key, OSSL_PKEY_PARAM_RSA_D, 256);
    return out;
}

template <typename Body>
double seconds(int times, Body&& body) {
    const auto start = Clock::now();
    for (int i = 0; i < times; ++i) {
        body();
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Result {
    double ours = 0, theirs = 0, ratio = 0;
};

// Alternates the two sides round by round, so drift in the machine's load meets both alike.
template <typename Ours, typename Theirs>
Result compare(int perRound, Ours&& ours, Theirs&& theirs) {
    ours();
    theirs();  // warm-up
    std::vector<double> a, b, r;
    for (int round = 0; round < kRounds; ++round) {
        const double o = seconds(perRound, ours);
        const double t = seconds(perRound, theirs);
        a.push_back(o / perRound);
        b.push_back(t / perRound);
        r.push_back(o / t);
    }
    return {median(a), median(b), median(r)};
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "capi_bench: %s failed (0x%08X)\n", what, GetLastError());
    std::exit(2);
}

// The front end's side of both measurements: SHA-256 of `data` in a hash object of `prov`,
// then `finish` on the hash (sign it, or read its value).
template <typename Finish>
void hashThen(HCRYPTPROV prov, const Bytes& data, const char* what, Finish&& finish) {
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &h) ||
        !CryptHashData(h, data.data(), static_cast<DWORD>(data.size()), 0) || !finish(h)) {
        die(what);
    }
    CryptDestroyHash(h);
}

}  // namespace

// The text of --help.
static const char kHelp[] =
    "usage: capi_bench [--check]\n"
    "Times signing and hashing through the CryptoAPI front end against OpenSSL; --check fails\n"
    "when a target ratio is missed. --help, --version: this text, the version.\n";

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "capi_bench", kHelp)) {
        return 0;
    }
    if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--check") != 0)) {
        return vantor::cli::UsageError("capi_bench",
                                       std::string("unknown argument '") + argv[argc - 1] + "'", 2);
    }
    const bool check = argc > 1;
    EVP_PKEY* key = EVP_RSA_gen(2048);
    HCRYPTPROV prov = 0;
    if (key == nullptr || !CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                                CRYPT_VERIFYCONTEXT)) {
        die("setup");
    }
    const Bytes blob = privateBlob(key);
    HCRYPTKEY hKey = 0;
    if (!CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &hKey)) {
        die("CryptImportKey");
    }

    const Bytes message(1024, 0x42);
    Bytes sig(256);
    const Result sign = compare(
        40,
        [&] {
            hashThen(prov, message, "CryptSignHash", [&](HCRYPTHASH h) {
                DWORD size = 256;
                return CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig.data(), &size);
            });
        },
        [&] {
            EVP_MD_CTX* ctx = EVP_MD_CTX_new();
            std::size_t size = sig.size();
            if (EVP_DigestSignInit_ex(ctx, nullptr, "SHA256", nullptr, nullptr, key, nullptr) !=
                    1 ||
                EVP_DigestSign(ctx, sig.data(), &size, message.data(), message.size()) != 1) {
                die("EVP_DigestSign");
            }
            EVP_MD_CTX_free(ctx);
        });

    const Bytes mebibyte(1 << 20, 0x5C);
    Bytes digest(32);
    EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    const Result hash = compare(
        20,
        [&] {
            hashThen(prov, mebibyte, "CryptHashData", [&](HCRYPTHASH h) {
                DWORD size = 32;
                return CryptGetHashParam(h, HP_HASHVAL, digest.data(), &size, 0);
            });
        },
        [&] {
            EVP_MD_CTX* ctx = EVP_MD_CTX_new();
            unsigned int size = 0;
            if (EVP_DigestInit_ex(ctx, sha256, nullptr) != 1 ||
                EVP_DigestUpdate(ctx, mebibyte.data(), mebibyte.size()) != 1 ||
                EVP_DigestFinal_ex(ctx, digest.data(), &size) != 1) {
                die("EVP_Digest");
            }
            EVP_MD_CTX_free(ctx);
        });

    std::printf(
        "CryptSignHash RSA-2048/SHA-256: front end %.1f us, EVP_DigestSign %.1f us, "
        "ratio %.3fx (target <= 1.10x)\n",
        sign.ours * 1e6, sign.theirs * 1e6, sign.ratio);
    std::printf(
        "SHA-256 of 1 MiB: CryptHashData %.1f us, OpenSSL %.1f us, ratio %.3fx "
        "(target <= 1.05x)\n",
        hash.ours * 1e6, hash.theirs * 1e6, hash.ratio);
    const bool met = sign.ratio <= 1.10 && hash.ratio <= 1.05;
    std::printf("targets: %s\n", met ? "met" : "missed");
    EVP_MD_free(sha256);
    CryptDestroyKey(hKey);
    CryptReleaseContext(prov, 0);
    EVP_PKEY_free(key);
    return check && !met ? 1 : 0;
}
