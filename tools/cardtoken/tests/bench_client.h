// The fixture of the cardtoken suites on the card bench: the module loaded in this process.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "bench_conf.h"
#include "card_bench.h"
#include "cardtoken_client.h"

namespace cardtoken::test {

// Each test gets the module loaded and initialized over the suite's bench configuration, which
// the suite's SetUpTestSuite writes into conf_; the test skips when it could not.
class ClientOnBench : public vantor::bench::CardBenchTest {
  protected:
    static void TearDownTestSuite() { conf_.reset(); }
    void SetUp() override {
        CardBenchTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (!conf_->why.empty()) {
            GTEST_SKIP() << conf_->why;
        }
        ::setenv("CARDTOKEN_CONF", conf_->file.c_str(), 1);
        client_ = std::make_unique<Client>();
        ASSERT_TRUE(client_->loaded()) << modulePath();
        ASSERT_EQ(client_->initialize(), CKR_OK) << client_->lastError();
    }
    void TearDown() override {
        client_.reset();  // finalized while the cards are still in
        CardBenchTest::TearDown();
    }

    static inline std::unique_ptr<BenchConf> conf_;
    std::unique_ptr<Client> client_;
};

}  // namespace cardtoken::test
