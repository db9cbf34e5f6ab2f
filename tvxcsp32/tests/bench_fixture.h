// The card-bench fixture of the provider tests: a private registry with the provider registered
// over cardtoken.so, the bench configuration made once per program, and OpenSSL helpers.
#pragma once

#include "card_bench.h"
#include "cardtoken_client.h"
#include "provider_support.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace tvxtest {

using vantor::bench::CardBenchTest;

inline constexpr char kCnsContainer[] = "%01@1000000000000201";

class ProviderBench : public CardBenchTest {
  protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(makePrivateRegistry());
        std::string output;
        conf_ = new std::string(cardtoken::test::makeBenchConf(*dir_ + "/bench", &output));
        if (conf_->empty()) {
            why_ = new std::string("cardtoken-bench.sh make-conf failed: " + output);
        }
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        std::filesystem::remove_all(*dir_, ec);
    }
    void SetUp() override {
        CardBenchTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (why_ != nullptr) {
            GTEST_SKIP() << *why_;
        }
        ::setenv("CARDTOKEN_CONF", conf_->c_str(), 1);
        offscreenApplication();
        registerProvider(cardtoken::test::modulePath());
    }

  public:
    void insert(const char* scenario, int reader) {
        std::string error;
        ASSERT_TRUE(bench().insertCard(scenario, reader, {}, &error)) << error;
    }
    // The key and certificate files the bench tokens were loaded from.
    static std::string keysDir() { return *dir_ + "/bench/keys"; }

  protected:
    inline static std::string* dir_ = nullptr;
    inline static std::string* conf_ = nullptr;
    inline static std::string* why_ = nullptr;
};

using Bytes = std::vector<BYTE>;

// The PEM-free way to the certificate's key: DER through OpenSSL.
inline EVP_PKEY* publicKeyOf(const Bytes& der) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr) {
        return nullptr;
    }
    EVP_PKEY* key = X509_get_pubkey(cert);
    X509_free(cert);
    return key;
}

inline bool opensslVerifies(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, Bytes signature) {
    std::reverse(signature.begin(), signature.end());  // CryptoAPI order -> big-endian
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok =
        EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
        EVP_DigestVerify(ctx, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

}  // namespace tvxtest
