// Makes the test PKCS#12 files: the openssl command for the ordinary ones, the library for the
// two it refuses to make.
#include "p12_files.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "token_bench.h"

namespace pavlox::testing {
namespace {

namespace fs = std::filesystem;

std::vector<unsigned char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool run(P12Files& f, std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/openssl");
    const auto r = vantor::tokenbench::runTool(args, 120000);
    if (r.status != 0) {
        std::string line;
        for (const auto& a : args) {
            line += a + " ";
        }
        f.error = line + ": " + r.output;
        return false;
    }
    return true;
}

// A 1024-bit RSA key of primes of the given sizes. With shortExponent its private exponent has a
// zero top byte: with p = q = 1 mod 256 the exponent taken modulo lcm(p-1, q-1) is below n / 256.
EVP_PKEY* rsaKey(int pBits, int qBits, bool shortExponent) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM *p = BN_new(), *q = BN_new(), *n = BN_new(), *e = BN_new(), *d = BN_new();
    BIGNUM *p1 = BN_new(), *q1 = BN_new(), *g = BN_new(), *lcm = BN_new(), *dp = BN_new(),
           *dq = BN_new(), *qi = BN_new(), *add = BN_new(), *rem = BN_new();
    BN_set_word(e, 65537);
    BN_set_word(add, 256);
    BN_set_word(rem, 1);
    EVP_PKEY* key = nullptr;
    for (int tries = 0; tries < 50 && key == nullptr; ++tries) {
        BN_generate_prime_ex2(p, pBits, 0, shortExponent ? add : nullptr,
                              shortExponent ? rem : nullptr, nullptr, ctx);
        BN_generate_prime_ex2(q, qBits, 0, shortExponent ? add : nullptr,
                              shortExponent ? rem : nullptr, nullptr, ctx);
        BN_mul(n, p, q, ctx);
        BN_sub(p1, p, BN_value_one());
        BN_sub(q1, q, BN_value_one());
        BN_gcd(g, p1, q1, ctx);
        BN_mul(lcm, p1, q1, ctx);
        BN_div(lcm, nullptr, lcm, g, ctx);
        if (BN_cmp(p, q) == 0 || BN_num_bits(n) != 1024 ||
            BN_mod_inverse(d, e, lcm, ctx) == nullptr ||
            (shortExponent && BN_num_bytes(d) >= 128)) {
            continue;
        }
        BN_mod(dp, d, p1, ctx);
        BN_mod(dq, d, q1, ctx);
        BN_mod_inverse(qi, q, p, ctx);
        OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_N, n);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_E, e);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_D, d);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_FACTOR1, p);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_FACTOR2, q);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qi);
        OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        EVP_PKEY_fromdata_init(pctx);
        EVP_PKEY_fromdata(pctx, &key, EVP_PKEY_KEYPAIR, params);
        EVP_PKEY_CTX_free(pctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(b);
    }
    for (BIGNUM* bn : {p, q, n, e, d, p1, q1, g, lcm, dp, dq, qi, add, rem}) {
        BN_clear_free(bn);
    }
    BN_CTX_free(ctx);
    return key;
}

// Writes the key as PEM and frees it.
bool writeKey(P12Files& f, EVP_PKEY* key, const std::string& path) {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> owned(key, EVP_PKEY_free);
    FILE* out = std::fopen(path.c_str(), "w");
    const bool ok = out != nullptr && key != nullptr &&
                    PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (out != nullptr) {
        std::fclose(out);
    }
    if (!ok) {
        f.error = "cannot write " + path;
    }
    return ok;
}

// A file holding key and cert without checking that they belong together (the openssl command
// and PKCS12_create refuse such a pair).
bool writeMismatch(P12Files& f, const std::string& keyPem, const std::string& certPem,
                   const std::string& path) {
    FILE* k = std::fopen(keyPem.c_str(), "r");
    FILE* c = std::fopen(certPem.c_str(), "r");
    EVP_PKEY* key = k != nullptr ? PEM_read_PrivateKey(k, nullptr, nullptr, nullptr) : nullptr;
    X509* cert = c != nullptr ? PEM_read_X509(c, nullptr, nullptr, nullptr) : nullptr;
    if (k != nullptr) {
        std::fclose(k);
    }
    if (c != nullptr) {
        std::fclose(c);
    }
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    STACK_OF(PKCS7)* safes = nullptr;
    PKCS12* p12 = nullptr;
    bool ok = key != nullptr && cert != nullptr && PKCS12_add_cert(&bags, cert) != nullptr &&
              PKCS12_add_key(&bags, key, 0, PKCS12_DEFAULT_ITER, -1, nullptr) != nullptr &&
              PKCS12_add_safe(&safes, bags, -1, 0, nullptr) == 1;
    if (ok) {
        p12 = PKCS12_add_safes(safes, 0);
        ok = p12 != nullptr &&
             PKCS12_set_mac(p12, f.password.c_str(), -1, nullptr, 0, 0, nullptr) == 1;
    }
    FILE* out = ok ? std::fopen(path.c_str(), "wb") : nullptr;
    ok = out != nullptr && i2d_PKCS12_fp(out, p12) == 1;
    if (out != nullptr) {
        std::fclose(out);
    }
    PKCS12_free(p12);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        f.error = "cannot make the mismatched file";
    }
    return ok;
}

bool make(P12Files& f) {
    char tmpl[] = "/tmp/pavlox-p12-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        f.error = "mkdtemp failed";
        return false;
    }
    f.dir = tmpl;
    const auto at = [&](const std::string& name) { return f.dir + "/" + name; };
    const std::string pass = "pass:" + f.password;
    const std::vector<std::string> self = {"req", "-new", "-x509", "-days", "30", "-sha256"};
    auto req = [&](const std::string& key, const std::string& cert, const std::string& cn,
                   const std::string& serial) {
        auto args = self;
        args.insert(args.end(), {"-key", at(key), "-out", at(cert), "-subj",
                                 "/CN=" + cn + "/O=Vantor", "-set_serial", serial});
        return run(f, args);
    };
    auto p12 = [&](const std::string& name, const std::string& key, const std::string& cert,
                   std::vector<std::string> more, const std::string& password) {
        std::vector<std::string> args = {"pkcs12",   "-export",          "-inkey", at(key),
                                         "-in",      at(cert),           "-name",  "imported",
                                         "-passout", "pass:" + password, "-out",   at(name)};
        args.insert(args.end(), more.begin(), more.end());
        f.path[name] = at(name);
        return run(f, args);
    };
    if (!run(f, {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                 at("rsa2048.pem")}) ||
        !run(f, {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                 at("other.pem")}) ||
        !run(f, {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                 at("ec.pem")}) ||
        !writeKey(f, rsaKey(512, 512, true), at("rsa1024.pem")) ||
        !writeKey(f, rsaKey(528, 496, false), at("unbalanced.pem")) ||
        !req("rsa2048.pem", "rsa2048.crt", "Import Test", "0x0102030405") ||
        !req("other.pem", "other.crt", "Other CA", "7") ||
        !req("ec.pem", "ec.crt", "EC Test", "9") ||
        !req("rsa1024.pem", "rsa1024.crt", "Short Exponent", "0xA1B2") ||
        !req("unbalanced.pem", "unbalanced.crt", "Unbalanced Primes", "11")) {
        return false;
    }
    const bool files =
        p12("aes", "rsa2048.pem", "rsa2048.crt", {}, f.password) &&
        p12("legacy", "rsa2048.pem", "rsa2048.crt", {"-legacy"}, f.password) &&
        p12("pbe3des", "rsa2048.pem", "rsa2048.crt",
            {"-certpbe", "PBE-SHA1-3DES", "-keypbe", "PBE-SHA1-3DES"}, f.password) &&
        p12("pbeaes128", "rsa2048.pem", "rsa2048.crt",
            {"-certpbe", "AES-128-CBC", "-keypbe", "AES-128-CBC"}, f.password) &&
        p12("nocertenc", "rsa2048.pem", "rsa2048.crt", {"-certpbe", "NONE"}, f.password) &&
        p12("chain", "rsa2048.pem", "rsa2048.crt", {"-certfile", at("other.crt")}, f.password) &&
        p12("empty", "rsa2048.pem", "rsa2048.crt", {}, "") &&
        p12("rsa1024", "rsa1024.pem", "rsa1024.crt", {}, f.password) &&
        p12("ec", "ec.pem", "ec.crt", {}, f.password) &&
        p12("unbalanced", "unbalanced.pem", "unbalanced.crt", {}, f.password) &&
        p12("certsonly", "rsa2048.pem", "rsa2048.crt", {"-nokeys"}, f.password);
    if (!files) {
        return false;
    }
    f.path["mismatch"] = at("mismatch");
    if (!writeMismatch(f, at("rsa2048.pem"), at("other.crt"), at("mismatch"))) {
        return false;
    }
    std::ofstream(at("text")) << "not a PKCS#12 file\n";
    std::ofstream(at("emptyfile")).close();
    f.path["text"] = at("text");
    f.path["emptyfile"] = at("emptyfile");
    if (!run(f, {"x509", "-in", at("rsa2048.crt"), "-outform", "DER", "-out", at("rsa2048.der")}) ||
        !run(f, {"x509", "-in", at("rsa1024.crt"), "-outform", "DER", "-out", at("rsa1024.der")})) {
        return false;
    }
    f.certDer = readAll(at("rsa2048.der"));
    f.cert1024Der = readAll(at("rsa1024.der"));
    f.certPem = at("rsa2048.crt");
    // The 1024-bit key's modulus and private exponent, at 128 bytes each.
    FILE* k = std::fopen(at("rsa1024.pem").c_str(), "r");
    EVP_PKEY* key = k != nullptr ? PEM_read_PrivateKey(k, nullptr, nullptr, nullptr) : nullptr;
    if (k != nullptr) {
        std::fclose(k);
    }
    for (auto [name, out] : {std::pair{OSSL_PKEY_PARAM_RSA_N, &f.modulus1024},
                             std::pair{OSSL_PKEY_PARAM_RSA_D, &f.d1024}}) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(key, name, &bn);
        out->assign(128, 0);
        BN_bn2binpad(bn, out->data(), 128);
        BN_clear_free(bn);
    }
    EVP_PKEY_free(key);
    return true;
}

}  // namespace

const P12Files& p12Files() {
    static P12Files files = [] {
        P12Files f;
        if (!make(f)) {
            f.path.clear();
        }
        return f;
    }();
    static const struct Cleanup {
        ~Cleanup() {
            std::error_code ec;
            if (!files.dir.empty()) {
                fs::remove_all(files.dir, ec);
            }
        }
    } cleanup;
    return files;
}

}  // namespace pavlox::testing
