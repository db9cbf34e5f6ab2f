// A test program whose outcome is chosen by SKIP_OUTCOME_CASE: "skip" (every test skips),
// "skip+fail" (one skips, one fails), "skip+pass" (one skips, one passes).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {
std::string outcome() {
    const char* c = std::getenv("SKIP_OUTCOME_CASE");
    return c != nullptr ? c : "";
}
}  // namespace

TEST(SkipOutcome, Skips) {
    GTEST_SKIP() << "no service here";
}

TEST(SkipOutcome, Other) {
    if (outcome() == "skip") {
        GTEST_SKIP() << "no service here either";
    }
    EXPECT_NE(outcome(), "skip+fail");
}
