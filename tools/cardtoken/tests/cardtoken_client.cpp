// Test-side client of cardtoken.so (see cardtoken_client.h).
#include "cardtoken_client.h"

#include "token_bench.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <memory>

namespace cardtoken::test {

std::string modulePath() {
    return CARDTOKEN_MODULE_PATH;
}
std::string benchScript() {
    return CARDTOKEN_BENCH_SCRIPT;
}
std::string workDir() {
    return std::string(CARDTOKEN_TEST_DIR) + "/work-" + std::to_string(::getpid());
}

std::string makeBenchConf(const std::string& dir, std::string* output) {
    const auto run =
        vantor::tokenbench::runTool({"/bin/bash", benchScript(), "make-conf", dir}, 60000);
    *output = run.output;
    if (run.status != 0) {
        return "";
    }
    std::string path = run.output;
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) {
        path.pop_back();
    }
    const auto nl = path.rfind('\n');
    return nl == std::string::npos ? path : path.substr(nl + 1);
}

std::vector<std::pair<std::string, std::string>> childEnvironment() {
    std::vector<std::pair<std::string, std::string>> env;
#ifdef CARDTOKEN_ASAN_RUNTIME
    // The outside tools are plain programs: a sanitizer build of the module needs the runtime
    // loaded first, and their own allocations are not ours to leak-check.
    env.emplace_back("LD_PRELOAD", CARDTOKEN_ASAN_RUNTIME);
    env.emplace_back("ASAN_OPTIONS", "detect_leaks=0");
#endif
    return env;
}

Client::Client() : module_(modulePath().c_str()) {}

std::string Client::lastError() const {
    auto fn = module_.symbol<const char* (*)()>("CardToken_LastError");
    return fn ? fn() : "(no CardToken_LastError)";
}

std::vector<CK_SLOT_ID> Client::slots(bool present, CK_RV* rv) {
    CK_ULONG n = 0;
    CK_RV r = module_->C_GetSlotList(present ? CK_TRUE : CK_FALSE, nullptr, &n);
    std::vector<CK_SLOT_ID> out(n);
    if (r == CKR_OK && n > 0) {
        r = module_->C_GetSlotList(present ? CK_TRUE : CK_FALSE, out.data(), &n);
        out.resize(n);
    }
    if (rv) {
        *rv = r;
    }
    return out;
}

CK_RV Client::tokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    return module_->C_GetTokenInfo(slot, info);
}

bool Client::tokenPresent(CK_SLOT_ID slot) {
    CK_SLOT_INFO info{};
    return module_->C_GetSlotInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT) != 0;
}

CK_RV Client::open(CK_SLOT_ID slot, CK_SESSION_HANDLE* session) {
    return module_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                  session);
}

CK_RV Client::login(CK_SESSION_HANDLE session, const std::string& pin, CK_USER_TYPE user) {
    return module_->C_Login(session, user,
                            reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                            pin.size());
}

std::vector<CK_OBJECT_HANDLE> Client::find(CK_SESSION_HANDLE session,
                                           std::vector<CK_ATTRIBUTE> tmpl) {
    std::vector<CK_OBJECT_HANDLE> found(64);
    CK_ULONG n = 0;
    if (module_->C_FindObjectsInit(session, tmpl.data(), tmpl.size()) != CKR_OK) {
        return {};
    }
    module_->C_FindObjects(session, found.data(), found.size(), &n);
    module_->C_FindObjectsFinal(session);
    found.resize(n);
    return found;
}

Bytes Client::attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (module_->C_GetAttributeValue(session, object, &a, 1) != CKR_OK) {
        return {};
    }
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    if (module_->C_GetAttributeValue(session, object, &a, 1) != CKR_OK) {
        return {};
    }
    return value;
}

std::string field(const CK_UTF8CHAR* p, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

bool verify(EVP_PKEY* key, const Bytes& data, const Bytes& signature) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

}  // namespace

bool verifyWithKey(const Bytes& modulus, const Bytes& exponent, const Bytes& data,
                   const Bytes& signature) {
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* raw = nullptr;
    const bool made = ctx && EVP_PKEY_fromdata_init(ctx) == 1 &&
                      EVP_PKEY_fromdata(ctx, &raw, EVP_PKEY_PUBLIC_KEY, params) == 1;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    Pkey key(raw);
    return made && verify(key.get(), data, signature);
}

bool verifyWithCertificate(const Bytes& der, const Bytes& data, const Bytes& signature) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr) {
        return false;
    }
    Pkey key(X509_get_pubkey(cert));
    X509_free(cert);
    return key && verify(key.get(), data, signature);
}

}  // namespace cardtoken::test
