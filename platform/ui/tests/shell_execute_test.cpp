// ShellExecuteA: the Windows file name's mapping to a program beside the running one or on
// PATH, its detached start with parameters and directory, and the failure results.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "win/shellapi.h"

namespace {

namespace fs = std::filesystem;

std::intptr_t Code(HINSTANCE h) {
    return reinterpret_cast<std::intptr_t>(h);
}

// A shell script that writes its arguments and working directory to marker.
void WriteStandIn(const fs::path& program, const fs::path& marker) {
    std::ofstream(program) << "#!/bin/sh\necho \"$@|$(pwd)\" > '" << marker.string() << "'\n";
    fs::permissions(program, fs::perms::owner_all);
}

std::string WaitForMarker(const fs::path& marker) {
    for (int i = 0; i < 500 && !fs::exists(marker); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The script may still be writing: read once the line is complete.
    for (int i = 0; i < 100; ++i) {
        std::ifstream in(marker);
        std::string line;
        if (std::getline(in, line) && in.good()) {
            return line;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

class ShellExecuteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("shell-execute-" + std::to_string(getpid()));
        fs::create_directories(dir / "bin");
        fs::create_directories(dir / "work");
        const char* old = std::getenv("PATH");
        savedPath = old != nullptr ? old : "";
        setenv("PATH", ((dir / "bin").string() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", savedPath.c_str(), 1);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
    std::string savedPath;
};

TEST_F(ShellExecuteTest, AnExeNameStartsTheLowercaseProgramOnThePath) {
    WriteStandIn(dir / "bin" / "vantorshelltest", dir / "marker");
    const std::string work = (dir / "work").string();
    EXPECT_GT(
        Code(ShellExecuteA(nullptr, "open", "VantorShellTest.EXE", "one two", work.c_str(), 0)),
        32);
    EXPECT_EQ(WaitForMarker(dir / "marker"), "one two|" + work);
}

TEST_F(ShellExecuteTest, TheProgramBesideTheRunningOneComesFirst) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    const fs::path beside = fs::path(std::string(self, static_cast<size_t>(n))).parent_path() /
                            ("vantorbeside" + std::to_string(getpid()));
    WriteStandIn(beside, dir / "beside");
    WriteStandIn(dir / "bin" / beside.filename(), dir / "onpath");
    const std::string file = "VantorBeside" + std::to_string(getpid()) + ".exe";
    const auto started = Code(ShellExecuteA(nullptr, nullptr, file.c_str(), nullptr, nullptr, 0));
    const std::string line = WaitForMarker(dir / "beside");
    fs::remove(beside);
    EXPECT_GT(started, 32);
    EXPECT_EQ(line.substr(0, 1), "|");
    EXPECT_FALSE(fs::exists(dir / "onpath"));
}

TEST_F(ShellExecuteTest, FailuresAnswer32OrLess) {
    std::ofstream(dir / "bin" / "notrunnable") << "#!/bin/sh\n";
    fs::permissions(dir / "bin" / "notrunnable", fs::perms::owner_read | fs::perms::owner_write);
    WriteStandIn(dir / "bin" / "present", dir / "marker");
    struct Row {
        const char* operation;
        const char* file;
        std::intptr_t expected;
    } rows[] = {
        {"open", "Missing.exe", SE_ERR_FNF},
        {"open", "NotRunnable.exe", SE_ERR_FNF},
        {"open", nullptr, SE_ERR_FNF},
        {"open", "", SE_ERR_FNF},
        {"print", "Present.exe", SE_ERR_NOASSOC},
        {"open", "/no/such/dir/present", SE_ERR_FNF},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Code(ShellExecuteA(nullptr, row.operation, row.file, nullptr, nullptr, 0)),
                  row.expected)
            << (row.file != nullptr ? row.file : "(null)");
    }
    EXPECT_FALSE(fs::exists(dir / "marker")) << "nothing was started";
}

}  // namespace
