// The machine-wide named mutex across real processes, and the provider's entry points waiting
// on it in eight processes at once.
#include "provider_support.h"
#include "win/synchapi.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace tvxtest {
namespace {

namespace fs = std::filesystem;
constexpr int kProcesses = 8;
const char kProviderMutex[] = "{9A222996-D6E2-4c9f-AC92-D40CC6ECE6F8}";

// Waits for a child with a bound; kills it when it does not end. Returns its exit status.
int waitBounded(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

class MutexProcessTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = makePrivateRegistry(); }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string dir_;
};

// Each process adds to a counter file by read, pause, write: without exclusion across the
// processes, increments are lost.
TEST_F(MutexProcessTest, EightProcessesNeverHoldItTogether) {
    const std::string name = "vantor-test-" + std::to_string(::getpid());
    const std::string counter = dir_ + "/counter";
    std::ofstream(counter) << 0;
    constexpr int kRounds = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A fresh process image is not needed: this process never opened the mutex before
            // the fork, so each child opens the lock file itself.
            HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
            if (m == nullptr) {
                ::_exit(3);
            }
            for (int r = 0; r < kRounds; ++r) {
                if (WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0) {
                    ::_exit(4);
                }
                int value = 0;
                std::ifstream(counter) >> value;
                std::this_thread::sleep_for(std::chrono::microseconds(300));
                std::ofstream(counter, std::ios::trunc) << value + 1;
                ReleaseMutex(m);
            }
            CloseHandle(m);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        EXPECT_EQ(waitBounded(pid, 60), 0);
    }
    int value = 0;
    std::ifstream(counter) >> value;
    EXPECT_EQ(value, kProcesses * kRounds);
}

TEST_F(MutexProcessTest, OwnershipIsPerThreadAndRecursive) {
    const std::string name = "vantor-test-owner-" + std::to_string(::getpid());
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(m, nullptr);
    HANDLE again = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);  // the same owner again
    std::thread other([&] {
        EXPECT_EQ(WaitForSingleObject(m, 50), WAIT_TIMEOUT);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    });
    other.join();
    // Another process cannot take it either while this one holds it.
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child must not reuse this process's open lock file: it opens it afresh under a
        // fresh table only after exec; here it checks through a separate open file.
        std::string path;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().filename().string().find(name) != std::string::npos) {
                path = entry.path();
            }
        }
        const int fd = ::open(path.c_str(), O_RDWR);
        ::_exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0 ? 0 : 1);
    }
    EXPECT_EQ(waitBounded(pid, 10), 0) << "another process took the held mutex";
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_FALSE(ReleaseMutex(m));
    CloseHandle(again);
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

// Eight processes call the provider while this one holds its mutex: none gets through an entry
// point until it is released, then all finish.
TEST_F(MutexProcessTest, ProviderEntryPointsWaitInEveryProcess) {
    registerProvider("missing-module.so");
    HANDLE m = CreateMutexA(nullptr, FALSE, kProviderMutex);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const std::string marker = dir_ + "/done-" + std::to_string(p);
        // Each child opens contexts and reads and sets parameters several times (csptool card:
        // acquire, PP_CONTAINER, PP_SLOT_INDEX, PP_KEYEXCHANGE_PIN, PP_LAST_CARD_ERROR,
        // release), then leaves its marker.
        const std::string script = "for i in 1 2 3; do '" + csptoolPath() + "' card abc -p '" +
                                   kProvider + "' --slot-index 0 --pin 1234 --silent >/dev/null " +
                                   "2>&1; done; touch '" + marker + "'";
        const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(
            ::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        children.push_back(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    int early = 0;
    for (int p = 0; p < kProcesses; ++p) {
        early += fs::exists(dir_ + "/done-" + std::to_string(p)) ? 1 : 0;
    }
    EXPECT_EQ(early, 0) << "a process got through the provider while the mutex was held";
    ASSERT_TRUE(ReleaseMutex(m));
    for (pid_t pid : children) {
        EXPECT_EQ(waitBounded(pid, 120), 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        EXPECT_TRUE(fs::exists(dir_ + "/done-" + std::to_string(p))) << "process " << p;
    }
    CloseHandle(m);
}

}  // namespace
}  // namespace tvxtest
