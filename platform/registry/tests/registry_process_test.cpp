// Several processes write to the same hive at once: every value of every writer must survive.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "registry_fixture.h"

namespace {

using RegistryProcessTest = PrivateRegistry;

constexpr int kWriters = 6;
constexpr int kValuesEach = 40;

// One writer: values under a shared key, plus a key of its own, each write its own transaction.
int writer(int id) {
    for (int i = 0; i < kValuesEach; ++i) {
        HKEY shared = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &shared, nullptr) != ERROR_SUCCESS) {
            return 1;
        }
        std::string name = "w" + std::to_string(id) + "_" + std::to_string(i);
        DWORD v = static_cast<DWORD>(id * 1000 + i);
        LONG rc = RegSetValueExA(shared, name.c_str(), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&v), sizeof(v));
        RegCloseKey(shared);
        if (rc != ERROR_SUCCESS) {
            return 2;
        }
        std::string own = "Software\\Own\\" + std::to_string(id) + "\\" + std::to_string(i);
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, own.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &k, nullptr) != ERROR_SUCCESS) {
            return 3;
        }
        RegCloseKey(k);
    }
    return 0;
}

TEST_F(RegistryProcessTest, ConcurrentWritersLoseNothing) {
    // The parent has the hive open before forking: children must not reuse its connection.
    HKEY root = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &root, nullptr),
              ERROR_SUCCESS);
    pid_t pids[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        pids[w] = fork();
        ASSERT_GE(pids[w], 0);
        if (pids[w] == 0) {
            _exit(writer(w));
        }
    }
    for (int w = 0; w < kWriters; ++w) {
        int status = 0;
        ASSERT_EQ(waitpid(pids[w], &status, 0), pids[w]);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "writer " << w;
    }
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(root, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, static_cast<DWORD>(kWriters * kValuesEach));
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kValuesEach; ++i) {
            std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            DWORD v = 0, size = sizeof(v);
            ASSERT_EQ(RegQueryValueExA(root, name.c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&v), &size),
                      ERROR_SUCCESS)
                << name;
            EXPECT_EQ(v, static_cast<DWORD>(w * 1000 + i));
        }
        HKEY own = nullptr;
        std::string path = "Software\\Own\\" + std::to_string(w);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &own),
                  ERROR_SUCCESS);
        DWORD subKeys = 0;
        RegQueryInfoKeyA(own, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(subKeys, static_cast<DWORD>(kValuesEach));
        RegCloseKey(own);
    }
    RegCloseKey(root);
}

}  // namespace

namespace {

// Threads of one process share the hive's connection and the handle table.
TEST_F(RegistryProcessTest, ConcurrentThreadsShareHandlesSafely) {
    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kEach; ++i) {
                HKEY k = nullptr;
                std::string path = "Software\\Threads\\" + std::to_string(t);
                if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &k, nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                DWORD v = static_cast<DWORD>(i);
                std::string name = "v" + std::to_string(i);
                if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                                   sizeof(v)) != ERROR_SUCCESS) {
                    ++failures;
                }
                if (RegCloseKey(k) != ERROR_SUCCESS) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures, 0);
    for (int t = 0; t < kThreads; ++t) {
        HKEY k = nullptr;
        std::string path = "Software\\Threads\\" + std::to_string(t);
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
        DWORD values = 0;
        RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr);
        EXPECT_EQ(values, static_cast<DWORD>(kEach));
        RegCloseKey(k);
    }
}

}  // namespace

namespace {

// The change stamp: still while nothing is written, moved by every kind of write, whether made
// by this process or by another one, and kept apart per hive.
void checkChangeStamp() {
    ULONGLONG before = 0, after = 0;
    ASSERT_EQ(VantorRegGetChangeStamp(HKEY_CLASSES_ROOT, &before), ERROR_SUCCESS);
    ASSERT_EQ(VantorRegGetChangeStamp(HKEY_CLASSES_ROOT, &after), ERROR_SUCCESS);
    EXPECT_EQ(before, after) << "no write, no change";
    EXPECT_EQ(VantorRegGetChangeStamp(HKEY_CLASSES_ROOT, nullptr), ERROR_INVALID_PARAMETER);

    auto inChild = [](auto write) {
        const pid_t child = fork();
        if (child == 0) {
            _exit(write() == ERROR_SUCCESS ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    auto createKey = [] {
        HKEY k = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, "Stamp.Test\\CLSID", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &k, nullptr);
        if (rc == ERROR_SUCCESS) {
            RegCloseKey(k);
        }
        return rc;
    };
    auto setValue = [] {
        HKEY k = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, "Stamp.Test\\CLSID", 0, KEY_ALL_ACCESS, &k);
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
            RegCloseKey(k);
        }
        return rc;
    };
    auto deleteTree = [] { return RegDeleteTreeA(HKEY_CLASSES_ROOT, "Stamp.Test"); };

    struct Step {
        const char* what;
        bool child;
        std::function<LONG()> write;
    };
    const Step steps[] = {
        {"key made here", false, createKey},      {"value set here", false, setValue},
        {"tree deleted here", false, deleteTree}, {"key made by a child", true, createKey},
        {"value set by a child", true, setValue}, {"tree deleted by a child", true, deleteTree},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_EQ(VantorRegGetChangeStamp(HKEY_CLASSES_ROOT, &before), ERROR_SUCCESS);
        if (step.child) {
            ASSERT_TRUE(inChild(step.write));
        } else {
            ASSERT_EQ(step.write(), ERROR_SUCCESS);
        }
        ASSERT_EQ(VantorRegGetChangeStamp(HKEY_CLASSES_ROOT, &after), ERROR_SUCCESS);
        EXPECT_NE(before, after);
        ASSERT_EQ(VantorRegGetChangeStamp(HKEY_CLASSES_ROOT, &before), ERROR_SUCCESS);
        EXPECT_EQ(before, after) << "and still again until the next write";
    }

    // A write to the user hive leaves the machine hive's stamp alone.
    ASSERT_EQ(VantorRegGetChangeStamp(HKEY_LOCAL_MACHINE, &before), ERROR_SUCCESS);
    HKEY user = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Stamp", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &user, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(user);
    ASSERT_EQ(VantorRegGetChangeStamp(HKEY_LOCAL_MACHINE, &after), ERROR_SUCCESS);
    EXPECT_EQ(before, after);
}

TEST_F(RegistryProcessTest, ChangeStampMovesWithEveryWriterAndOnlyThen) {
    checkChangeStamp();
}

// The same where the hive's shared change count cannot be mapped (its file is a directory
// here), so the stamp comes from SQLite's data version and this process's own commits.
TEST_F(RegistryProcessTest, ChangeStampWithoutTheSharedCountFallsBackToTheDatabase) {
    ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/machine.db-changes"));
    checkChangeStamp();
}

}  // namespace
