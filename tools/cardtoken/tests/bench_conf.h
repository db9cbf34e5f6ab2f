// A test suite's cardtoken-bench.sh configuration, shared by the suite's tests.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "cardtoken_client.h"

namespace cardtoken::test {

// Written in SetUpTestSuite, its work folder removed again when the suite drops it. A
// configuration that could not be written leaves `why` set, for every test to skip with.
struct BenchConf {
    explicit BenchConf(std::string folder) : dir(std::move(folder)) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        std::string output;
        file = makeBenchConf(dir, &output);
        if (file.empty()) {
            why = "cardtoken-bench.sh make-conf failed: " + output;
        }
    }
    ~BenchConf() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    BenchConf(const BenchConf&) = delete;
    BenchConf& operator=(const BenchConf&) = delete;

    std::string dir;   // the work folder; keys/ and tokens/ of the configuration sit in it
    std::string file;  // the configuration file, "" when make-conf failed
    std::string why;   // why the suite cannot run, "" when it can
};

}  // namespace cardtoken::test
