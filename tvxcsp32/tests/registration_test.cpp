// Registration as a deployment does it with csptool: the provider key with the values the
// provider reads, written when given, and removed again.
#include "provider_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

namespace tvxtest {
namespace {

const char kKey[] =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Vantor Cryptographic Service Provider";

struct Value {
    DWORD type = 0;
    std::string bytes;
};

std::optional<Value> readValue(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    Value v;
    DWORD size = 0;
    std::optional<Value> result;
    if (RegQueryValueExA(key, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
        v.bytes.resize(size);
        RegQueryValueExA(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(v.bytes.data()),
                         &size);
        result = v;
    }
    RegCloseKey(key);
    return result;
}

std::string sz(const std::string& text) {
    return text + std::string(1, '\0');
}

std::string dw(DWORD value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

int csptool(const std::string& args) {
    const std::string command = "'" + csptoolPath() + "' " + args + " >/dev/null 2>&1";
    return WEXITSTATUS(std::system(command.c_str()));
}

TEST(Registration, CsptoolWritesTheValuesGivenAndRemovesTheKey) {
    const std::string dir = makePrivateRegistry();
    const std::string name = std::string("'") + kProvider + "'";
    ASSERT_EQ(csptool("register " + name + " /opt/tvxcsp32.so --pkcs11-lib 'a.so;b.so' " +
                      "--detect-reader-changes 1 --smart-logon-name Logon"),
              0);
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
    };
    for (const Case& c :
         {Case{"Image Path", REG_SZ, sz("/opt/tvxcsp32.so")}, Case{"Type", REG_DWORD, dw(1)},
          Case{"Pkcs11Lib", REG_SZ, sz("a.so;b.so")},
          Case{"DetectPCSCReaderChanges", REG_DWORD, dw(1)},
          Case{"SmartLogonContainerName", REG_SZ, sz("Logon")}}) {
        const auto v = readValue(c.name);
        ASSERT_TRUE(v) << c.name;
        EXPECT_EQ(v->type, c.type) << c.name;
        EXPECT_EQ(v->bytes, c.bytes) << c.name;
    }
    // Removed with the key; a registration without them leaves them out.
    ASSERT_EQ(csptool("unregister " + name), 0);
    EXPECT_FALSE(readValue("Image Path"));
    ASSERT_EQ(csptool("register " + name + " /opt/tvxcsp32.so"), 0);
    EXPECT_TRUE(readValue("Image Path"));
    EXPECT_FALSE(readValue("Pkcs11Lib"));
    EXPECT_FALSE(readValue("DetectPCSCReaderChanges"));
    EXPECT_NE(csptool("register " + name + " /opt/tvxcsp32.so --pkcs11-lib"), 0)
        << "an option without its value is a bad command line";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace tvxtest
