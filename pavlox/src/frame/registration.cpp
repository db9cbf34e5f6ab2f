// DllRegisterServer / DllUnregisterServer: the ProgID, CLSID and AppID keys and the type library.
#include "frame/registration.h"

#include <cstdio>
#include <cstring>

#include "frame/module.h"
#include "oleaut/ustring.h"
#include "pavlox_ids.h"
#include "typelib_tables.h"
#include "win/objbase.h"
#include "win/winreg.h"

namespace pavlox {

namespace {

// The AppID of the registration script: this module defines none, so %APPID% is empty, which
// names the AppID key itself.
const char kAppId[] = "";
const char kAppName[] = "Pavlox";
const char kModuleKey[] = "Pavlox.DLL";

std::string guidString(REFGUID g) {
    OLECHAR buf[40];
    StringFromGUID2(g, buf, 40);
    return vantor::ole::toUtf8(buf, 38);
}

// Creates HKEY_CLASSES_ROOT\path and sets one of its string values (null name: the default).
bool setString(const std::string& path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool createKey(const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Deleting what is not there is not a failure of unregistration.
void removeTree(const std::string& path) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
}

bool registerClass(const ClassEntry& c, const std::string& modulePath) {
    const std::string clsid = guidString(*c.clsid);
    const std::string libid = guidString(LIBID_Pavlox);
    const std::string key = std::string("CLSID\\") + clsid;
    // The class key is removed and written afresh, so no stale subkey survives an update.
    removeTree(key);
    return setString(c.versionedProgId, nullptr, c.friendlyName) &&
           setString(std::string(c.versionedProgId) + "\\CLSID", nullptr, clsid) &&
           setString(c.progId, nullptr, c.friendlyName) &&
           setString(std::string(c.progId) + "\\CLSID", nullptr, clsid) &&
           setString(std::string(c.progId) + "\\CurVer", nullptr, c.versionedProgId) &&
           setString(key, nullptr, c.friendlyName) &&
           setString(key + "\\ProgID", nullptr, c.versionedProgId) &&
           setString(key + "\\VersionIndependentProgID", nullptr, c.progId) &&
           createKey(key + "\\Programmable") &&
           setString(key + "\\InprocServer32", nullptr, modulePath) &&
           setString(key + "\\InprocServer32", "ThreadingModel", c.threadingModel) &&
           setString(key + "\\TypeLib", nullptr, libid) && setString(key, "AppID", kAppId);
}

}  // namespace

HRESULT registerServer(const std::string& modulePath) {
    size_t count = 0;
    const ClassEntry* classes = classEntries(count);
    for (size_t i = 0; i < count; ++i) {
        if (classes[i].progId != nullptr && !registerClass(classes[i], modulePath)) {
            return SELFREG_E_CLASS;
        }
    }
    const std::string appIdKey = std::string("AppID") + (*kAppId ? "\\" : "") + kAppId;
    if (!setString(appIdKey, nullptr, kAppName) ||
        !setString(std::string("AppID\\") + kModuleKey, "AppID", kAppId)) {
        return SELFREG_E_CLASS;
    }
    ITypeLib* lib = nullptr;
    HRESULT hr = vantor::ole::GetTableTypeLib(typeLibrary(), &lib);
    if (FAILED(hr)) {
        return SELFREG_E_TYPELIB;
    }
    std::u16string path = vantor::ole::toUtf16(modulePath);
    hr = RegisterTypeLib(lib, path.c_str(), nullptr);
    lib->Release();
    return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT unregisterServer() {
    size_t count = 0;
    const ClassEntry* classes = classEntries(count);
    for (size_t i = 0; i < count; ++i) {
        const ClassEntry& c = classes[i];
        if (c.progId == nullptr) {
            continue;
        }
        removeTree(c.versionedProgId);
        removeTree(c.progId);
        // HKEY_CLASSES_ROOT\CLSID itself is never removed, only this class's key.
        removeTree(std::string("CLSID\\") + guidString(*c.clsid));
    }
    removeTree(std::string("AppID\\") + kModuleKey);
    // The empty %APPID% names HKEY_CLASSES_ROOT\AppID, which is never removed (deleting it would
    // take every other server's AppID with it); only the default value we wrote goes.
    HKEY appId = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_ALL_ACCESS, &appId) == ERROR_SUCCESS) {
        char value[64] = {};
        DWORD size = sizeof(value) - 1;
        DWORD type = 0;
        if (RegQueryValueExA(appId, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ && std::strcmp(value, kAppName) == 0) {
            RegDeleteValueA(appId, nullptr);
        }
        RegCloseKey(appId);
    }
    // A library that was never registered is already in the state asked for.
    UnRegisterTypeLib(LIBID_Pavlox, typeLibrary().major, typeLibrary().minor, typeLibrary().lcid,
                      SYS_WIN64);
    return S_OK;
}

}  // namespace pavlox
