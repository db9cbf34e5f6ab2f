// The registration tool run as a user runs it: exit codes, messages and the keys it leaves.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "win/libloaderapi.h"
#include "win/winreg.h"

namespace {

namespace fs = std::filesystem;

class Regsvr : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/vantor-regsvr-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        setenv(VANTOR_REGISTRY_DIR_ENV, dir_.c_str(), 1);
        char exe[4096];
        DWORD n = GetModuleFileNameA(nullptr, exe, sizeof(exe));
        bin_ = fs::path(std::string(exe, n)).parent_path();
    }
    void TearDown() override {
        unsetenv(VANTOR_REGISTRY_DIR_ENV);
        fs::remove_all(dir_);
    }
    // Runs the tool in dir with args; returns its exit code and fills output (both streams).
    int run(const std::string& args, std::string& output, const fs::path& cwd = {}) {
        std::string cmd = (cwd.empty() ? "" : "cd '" + cwd.string() + "' && ") + "'" +
                          (bin_ / "regsvr").string() + "' " + args + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        if (p == nullptr) {
            return -1;
        }
        char buf[512];
        output.clear();
        while (fgets(buf, sizeof(buf), p)) {
            output += buf;
        }
        int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string serverPath() {
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT,
                          "CLSID\\{42F60E08-F3B4-414C-95F7-1435620C6904}\\InprocServer32", 0,
                          KEY_READ, &k) != ERROR_SUCCESS) {
            return {};
        }
        char path[4096];
        DWORD size = sizeof(path);
        LONG rc =
            RegQueryValueExA(k, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
        RegCloseKey(k);
        return rc == ERROR_SUCCESS ? std::string(path) : std::string();
    }
    std::string dir_;
    fs::path bin_;
};

TEST_F(Regsvr, RegistersByRelativePathWithTheFullPathAndUnregisters) {
    std::string out;
    ASSERT_EQ(run("pavlox.so", out, bin_), 0) << out;
    EXPECT_NE(out.find("DllRegisterServer"), std::string::npos);
    EXPECT_NE(out.find("0x00000000"), std::string::npos) << out;
    EXPECT_EQ(serverPath(), (bin_ / "pavlox.so").string()) << "the registry holds a full path";
    ASSERT_EQ(run("-u -s '" + (bin_ / "pavlox.so").string() + "'", out), 0);
    EXPECT_TRUE(out.empty()) << "silent: " << out;
    EXPECT_EQ(serverPath(), "");
}

TEST_F(Regsvr, ReportsEachKindOfFailure) {
    std::string out;
    EXPECT_EQ(run("", out), 1);
    EXPECT_EQ(run("-x pavlox.so", out), 1);
    EXPECT_EQ(run("/nonexistent/server.so", out), 3);
    EXPECT_NE(out.find("could not be loaded"), std::string::npos);
    // A shared library that is not a server.
    std::string sqlite;
    for (const char* p :
         {"/usr/lib/x86_64-linux-gnu/libsqlite3.so.0", "/lib/x86_64-linux-gnu/libsqlite3.so.0"}) {
        if (fs::exists(p))
            sqlite = p;
    }
    ASSERT_FALSE(sqlite.empty()) << "libsqlite3 is installed with the registry's dependencies";
    EXPECT_EQ(run("'" + sqlite + "'", out), 4);
    EXPECT_NE(out.find("no entry point DllRegisterServer"), std::string::npos) << out;
    // A registry that cannot be opened (its directory would sit below a plain file, which
    // fails for root too) makes the server's own call fail.
    std::string blocker = dir_ + "/file";
    FILE* f = fopen(blocker.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    setenv(VANTOR_REGISTRY_DIR_ENV, (blocker + "/registry").c_str(), 1);
    EXPECT_EQ(run("'" + (bin_ / "pavlox.so").string() + "'", out), 5);
    EXPECT_NE(out.find("failed with HRESULT 0x80040201"), std::string::npos) << out;
}

}  // namespace
