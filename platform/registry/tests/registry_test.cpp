// Behaviour of the Reg*A calls: paths, value types, the buffer-size protocol, deletion, handles.
#include <cstring>
#include <string>
#include <vector>

#include "registry_fixture.h"

namespace {

// Creates (or opens) a key for the test and closes it at scope end.
struct Key {
    HKEY h = nullptr;
    Key(HKEY root, const char* path, REGSAM sam = KEY_ALL_ACCESS) {
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, sam, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
    }
    ~Key() {
        if (h)
            RegCloseKey(h);
    }
};

std::string readString(HKEY k, const char* name) {
    DWORD size = 0, type = 0;
    if (RegQueryValueExA(k, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return "<none>";
    std::string s(size, '\0');
    EXPECT_EQ(RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(s.data()), &size),
              ERROR_SUCCESS);
    if (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

using RegistryTest = PrivateRegistry;

TEST_F(RegistryTest, CreateOpensExistingAndBuildsIntermediateKeys) {
    HKEY k = nullptr;
    DWORD disp = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Vantor\\Deep\\Leaf", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, &disp),
              ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(k);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "software\\VANTOR\\deep\\leaf", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, &disp),
              ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY)) << "names are case-insensitive";
    RegCloseKey(k);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Vantor\\Deep", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Missing", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &k), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\\\Vantor", 0, KEY_READ, &k),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, std::string(256, 'x').c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, HivesAreSeparateAndClassesRootIsMachineSoftwareClasses) {
    {
        Key cr(HKEY_CLASSES_ROOT, "Pavlox.Test");
        BYTE v[] = "x";
        ASSERT_EQ(RegSetValueExA(cr.h, nullptr, 0, REG_SZ, v, 2), ERROR_SUCCESS);
    }
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\Pavlox.Test", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    EXPECT_EQ(readString(k, ""), "x");
    RegCloseKey(k);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes\\Pavlox.Test", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/machine.db"));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/user.db"));
}

TEST_F(RegistryTest, ValueTypesRoundTripWithTerminatedStrings) {
    Key k(HKEY_CURRENT_USER, "Software\\Types");
    const char sz[] = "hello";
    ASSERT_EQ(RegSetValueExA(k.h, "sz", 0, REG_SZ, reinterpret_cast<const BYTE*>(sz), 5),
              ERROR_SUCCESS)
        << "a string written without its NUL is stored terminated";
    ASSERT_EQ(
        RegSetValueExA(k.h, "exp", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("%HOME%"), 7),
        ERROR_SUCCESS);
    DWORD dw = 0xDEADBEEF;
    ASSERT_EQ(RegSetValueExA(k.h, "dw", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4),
              ERROR_SUCCESS);
    const BYTE bin[] = {0, 1, 2, 0, 0xff};
    ASSERT_EQ(RegSetValueExA(k.h, "bin", 0, REG_BINARY, bin, 5), ERROR_SUCCESS);
    const char multi[] = "a\0bc\0";  // missing final empty string
    ASSERT_EQ(
        RegSetValueExA(k.h, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), 5),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k.h, "empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(k.h, "sz", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u) << "sizes include the NUL";
    EXPECT_EQ(readString(k.h, "SZ"), "hello") << "value names are case-insensitive";
    EXPECT_EQ(readString(k.h, "exp"), "%HOME%");

    DWORD out = 0;
    size = sizeof(out);
    ASSERT_EQ(RegQueryValueExA(k.h, "dw", nullptr, &type, reinterpret_cast<BYTE*>(&out), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(out, 0xDEADBEEFu);

    BYTE buf[16];
    size = sizeof(buf);
    ASSERT_EQ(RegQueryValueExA(k.h, "bin", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::memcmp(buf, bin, 5), 0);

    size = sizeof(buf);
    ASSERT_EQ(RegQueryValueExA(k.h, "multi", nullptr, &type, buf, &size), ERROR_SUCCESS);
    ASSERT_EQ(size, 6u);
    EXPECT_EQ(std::memcmp(buf, "a\0bc\0\0", 6), 0);

    size = 99;
    ASSERT_EQ(RegQueryValueExA(k.h, "empty", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(RegQueryValueExA(k.h, "absent", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ShortBufferGetsMoreDataAndIsNotOverrun) {
    Key k(HKEY_CURRENT_USER, "Software\\Sizes");
    const char s[] = "0123456789";
    ASSERT_EQ(RegSetValueExA(k.h, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(s), sizeof(s)),
              ERROR_SUCCESS);
    BYTE buf[8];
    std::memset(buf, 0xAA, sizeof(buf));
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(k.h, "v", nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    for (BYTE b : buf)
        EXPECT_EQ(b, 0xAA) << "nothing written on ERROR_MORE_DATA";
    EXPECT_EQ(RegQueryValueExA(k.h, "v", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);

    // Names: the size counts the NUL on the way in and not on the way out.
    ASSERT_EQ(RegSetValueExA(k.h, "longer-name", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_SUCCESS);
    char name[12];
    DWORD chars = 11;
    EXPECT_EQ(RegEnumValueA(k.h, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    chars = 12;
    ASSERT_EQ(RegEnumValueA(k.h, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(chars, 11u);
    EXPECT_STREQ(name, "longer-name");

    DWORD type = 0;
    EXPECT_EQ(RegGetValueA(k.h, nullptr, "v", RRF_RT_REG_DWORD, &type, nullptr, &size),
              ERROR_UNSUPPORTED_TYPE);
    size = sizeof(buf);
    EXPECT_EQ(
        RegGetValueA(HKEY_CURRENT_USER, "Software\\Sizes", "v", RRF_RT_REG_SZ, &type, buf, &size),
        ERROR_MORE_DATA);
}

TEST_F(RegistryTest, EnumerationOrderAndRewrittenValueKeepsItsPlace) {
    Key k(HKEY_CURRENT_USER, "Software\\Enum");
    for (const char* sub : {"beta", "Alpha", "gamma"}) {
        Key s(k.h, sub);
    }
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD chars = sizeof(name);
        LONG rc = RegEnumKeyExA(k.h, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        names.emplace_back(name, chars);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));

    for (const char* v : {"z", "a", "m"}) {
        ASSERT_EQ(RegSetValueExA(k.h, v, 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(RegSetValueExA(k.h, "Z", 0, REG_SZ, reinterpret_cast<const BYTE*>("2"), 2),
              ERROR_SUCCESS);
    char name[8];
    DWORD chars = sizeof(name);
    ASSERT_EQ(RegEnumValueA(k.h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "z") << "rewriting keeps the first-written position and the stored name";
    EXPECT_EQ(readString(k.h, "z"), "2");
    DWORD subKeys = 0, values = 0, maxSub = 0;
    ASSERT_EQ(RegQueryInfoKeyA(k.h, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(maxSub, 5u);
    EXPECT_EQ(values, 3u);
}

TEST_F(RegistryTest, DeleteRules) {
    Key k(HKEY_CURRENT_USER, "Software\\Del\\Child\\Grandchild");
    ASSERT_EQ(RegSetValueExA(k.h, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del"), ERROR_ACCESS_DENIED)
        << "a key with subkeys is not deleted by RegDeleteKeyA";
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del\\Child\\Grandchild"), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(k.h, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_KEY_DELETED)
        << "a handle to a deleted key reports it";
    // Recreating the key must not bring its old values back.
    Key again(HKEY_CURRENT_USER, "Software\\Del\\Child\\Grandchild");
    EXPECT_EQ(readString(again.h, "v"), "<none>");

    Key other(HKEY_CURRENT_USER, "Software\\Delicate");  // shares a prefix, not a parent
    ASSERT_EQ(RegSetValueExA(other.h, "keep", 0, REG_SZ, reinterpret_cast<const BYTE*>("y"), 2),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "software\\del"), ERROR_SUCCESS);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Del", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readString(other.h, "keep"), "y");
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Del"), ERROR_FILE_NOT_FOUND);

    // A null subkey empties the key but keeps it.
    Key t(HKEY_CURRENT_USER, "Software\\Tree\\A");
    Key tr(HKEY_CURRENT_USER, "Software\\Tree");
    ASSERT_EQ(RegSetValueExA(tr.h, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(tr.h, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(readString(tr.h, "v"), "<none>");
    EXPECT_EQ(RegOpenKeyExA(tr.h, "A", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(tr.h, nullptr, 0, KEY_READ, &h), ERROR_SUCCESS);
    RegCloseKey(h);

    EXPECT_EQ(RegDeleteValueA(tr.h, "nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, HandlesAndAccessRightsAreChecked) {
    Key k(HKEY_CURRENT_USER, "Software\\Access");
    HKEY ro = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Access", 0, KEY_READ, &ro),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(ro, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(ro), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(ro), ERROR_INVALID_HANDLE) << "a closed handle is refused";
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(bogus, "v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(k.h, "v", 0, REG_SZ, nullptr, 4), ERROR_INVALID_PARAMETER);
    // A size past what the store can take is refused before anything is read from data.
    BYTE one = 0;
    EXPECT_EQ(RegSetValueExA(k.h, "v", 0, REG_BINARY, &one, 0x80000000u), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, EnvironmentVariableMovesBothHives) {
    Key k(HKEY_CURRENT_USER, "Software\\Moved");
    char second[] = "/tmp/vantor-reg2-XXXXXX";
    ASSERT_NE(mkdtemp(second), nullptr);
    setenv(VANTOR_REGISTRY_DIR_ENV, second, 1);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Moved", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND);
    Key m(HKEY_LOCAL_MACHINE, "Software\\There");
    EXPECT_TRUE(std::filesystem::exists(std::string(second) + "/machine.db"));
    std::filesystem::remove_all(second);
}

// The value "v" of Software\Where in a hive, "<none>" without the key.
std::string whereValue(HKEY root) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, "Software\\Where", 0, KEY_READ, &k) != ERROR_SUCCESS) {
        return "<none>";
    }
    std::string v = readString(k, "v");
    RegCloseKey(k);
    return v;
}

// The hive a call reaches is remembered between calls: moving the location settings back and
// forth within one process must reach each hive again, change stamps included.
TEST_F(RegistryTest, LocationSettingsMovedBackAndForthReachTheirOwnHives) {
    char other[] = "/tmp/vantor-reg3-XXXXXX";
    char xdg[] = "/tmp/vantor-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    ASSERT_NE(mkdtemp(xdg), nullptr);
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const std::string savedXdg = oldXdg != nullptr ? oldXdg : "";
    struct Step {
        const char* registryDir;  // "" leaves the user hive to XDG_DATA_HOME
        const char* xdgDataHome;
        HKEY root;
        const char* expected;  // what Software\Where holds before the step writes its name
        const char* write;
    };
    const std::string first = dir_;
    const Step steps[] = {
        {first.c_str(), xdg, HKEY_LOCAL_MACHINE, "<none>", "first"},
        {other, xdg, HKEY_LOCAL_MACHINE, "<none>", "other"},
        {first.c_str(), xdg, HKEY_LOCAL_MACHINE, "first", "first again"},
        {other, xdg, HKEY_LOCAL_MACHINE, "other", "other again"},
        {"", xdg, HKEY_CURRENT_USER, "<none>", "xdg"},
        {first.c_str(), xdg, HKEY_CURRENT_USER, "<none>", "first user"},
        {"", xdg, HKEY_CURRENT_USER, "xdg", "xdg again"},
        {"", other, HKEY_CURRENT_USER, "<none>", "xdg elsewhere"},
        {first.c_str(), other, HKEY_LOCAL_MACHINE, "first again", "last"},
    };
    // The machine hive is only looked at with VANTOR_REGISTRY_DIR set: without it, it would be
    // the system's own.
    ULONGLONG stamp = 0;
    std::string stampDir = first;
    ASSERT_EQ(VantorRegGetChangeStamp(HKEY_LOCAL_MACHINE, &stamp), ERROR_SUCCESS);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.write);
        setenv(VANTOR_REGISTRY_DIR_ENV, step.registryDir, 1);
        setenv("XDG_DATA_HOME", step.xdgDataHome, 1);
        if (step.root == HKEY_LOCAL_MACHINE) {
            ULONGLONG now = 0;
            ASSERT_EQ(VantorRegGetChangeStamp(HKEY_LOCAL_MACHINE, &now), ERROR_SUCCESS);
            if (stampDir != step.registryDir) {
                EXPECT_NE(now, stamp) << "another machine hive, another stamp";
            }
            stamp = now;
            stampDir = step.registryDir;
        }
        EXPECT_EQ(whereValue(step.root), step.expected);
        Key k(step.root, "Software\\Where");
        ASSERT_EQ(RegSetValueExA(k.h, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(step.write),
                                 static_cast<DWORD>(std::strlen(step.write) + 1)),
                  ERROR_SUCCESS);
        EXPECT_EQ(whereValue(step.root), step.write);
    }
    EXPECT_TRUE(std::filesystem::exists(std::string(xdg) + "/vantor/registry/user.db"));
    EXPECT_TRUE(std::filesystem::exists(std::string(other) + "/vantor/registry/user.db"));
    if (oldXdg != nullptr) {
        setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
    std::filesystem::remove_all(other);
    std::filesystem::remove_all(xdg);
}

}  // namespace
