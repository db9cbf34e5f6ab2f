// The Reg*A calls: handle table, path rules and the Windows buffer-size protocol over HiveStore.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "hive_store.h"
#include "win/winerror.h"
#include "win/winreg.h"

using vantor::registry::Hive;
using vantor::registry::HiveStore;
using vantor::registry::StoredValue;

struct HKEY__ {
    Hive hive;
    std::string path;  // full path inside the hive, components joined by '\'
    REGSAM access;
};

namespace {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxDepth = 512;
// Registry values are small by nature; a bound keeps sizes well inside what SQLite takes as int.
constexpr DWORD kMaxValueBytes = 64u << 20;

// Every handle handed out is remembered, so a stale or made-up HKEY is refused instead of
// being dereferenced.
std::mutex g_handlesMutex;
std::unordered_set<HKEY> g_handles;

struct Resolved {
    Hive hive = Hive::Machine;
    std::string path;
    REGSAM access = KEY_ALL_ACCESS;
    bool predefined = false;
};

bool resolve(HKEY key, Resolved& out) {
    if (key == HKEY_LOCAL_MACHINE) {
        out = {Hive::Machine, "", KEY_ALL_ACCESS, true};
        return true;
    }
    if (key == HKEY_CLASSES_ROOT) {
        out = {Hive::Machine, "Software\\Classes", KEY_ALL_ACCESS, true};
        return true;
    }
    if (key == HKEY_CURRENT_USER) {
        out = {Hive::User, "", KEY_ALL_ACCESS, true};
        return true;
    }
    std::lock_guard lock(g_handlesMutex);
    if (key == nullptr || g_handles.count(key) == 0) {
        return false;
    }
    out = {key->hive, key->path, key->access, false};
    return true;
}

// Joins base and a caller's relative subkey. Leading '\' and empty components are refused, a
// single trailing '\' is tolerated, as Windows does.
LONG joinPath(const std::string& base, LPCSTR subKey, std::string& out) {
    out = base;
    if (subKey == nullptr || *subKey == '\0') {
        return ERROR_SUCCESS;
    }
    std::string rel(subKey);
    if (rel.front() == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    if (rel.back() == '\\') {
        rel.pop_back();
    }
    size_t start = 0;
    size_t depth = static_cast<size_t>(std::count(base.begin(), base.end(), '\\')) + 1;
    while (start <= rel.size()) {
        size_t end = rel.find('\\', start);
        if (end == std::string::npos) {
            end = rel.size();
        }
        size_t len = end - start;
        if (len == 0) {
            return ERROR_BAD_PATHNAME;
        }
        if (len > kMaxKeyNameChars) {
            return ERROR_INVALID_PARAMETER;
        }
        if (++depth > kMaxDepth) {
            return ERROR_INVALID_PARAMETER;
        }
        start = end + 1;
    }
    out = base.empty() ? rel : base + "\\" + rel;
    return ERROR_SUCCESS;
}

HiveStore* store(Hive hive, LONG& err) {
    return vantor::registry::storeFor(hive, err);
}

// Checks that the key behind a handle still exists (another process may have deleted it).
LONG liveKey(const Resolved& r, HiveStore*& hs) {
    LONG err = ERROR_SUCCESS;
    hs = store(r.hive, err);
    if (hs == nullptr) {
        return err;
    }
    bool exists = false;
    if (err = hs->keyExists(r.path, exists); err != ERROR_SUCCESS) {
        return err;
    }
    if (!exists) {
        // Predefined roots exist by definition; HKEY_CLASSES_ROOT's key is made on first use.
        if (r.predefined) {
            bool created = false;
            return hs->createKey(r.path, created);
        }
        return ERROR_KEY_DELETED;
    }
    return ERROR_SUCCESS;
}

HKEY newHandle(Hive hive, std::string path, REGSAM access) {
    auto* h = new (std::nothrow) HKEY__{hive, std::move(path), access};
    if (h == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(g_handlesMutex);
    g_handles.insert(h);
    return h;
}

// Access bits that grant what a call needs (generic KEY_READ/KEY_WRITE include them).
bool allowed(const Resolved& r, REGSAM need) {
    return (r.access & need) == need;
}

// String types are stored terminated, so a reader always gets the NUL counted in the size.
std::vector<BYTE> normalizedData(DWORD type, const BYTE* data, DWORD size) {
    std::vector<BYTE> bytes(data, data + size);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        if (bytes.empty() || bytes.back() != 0) {
            bytes.push_back(0);
        }
    } else if (type == REG_MULTI_SZ) {
        // A list ends with an empty string: two NULs (one for an empty list, stored as two).
        while (bytes.size() < 2 || bytes[bytes.size() - 1] != 0 || bytes[bytes.size() - 2] != 0) {
            bytes.push_back(0);
        }
    }
    return bytes;
}

// The size-then-data protocol: a null buffer asks for the size, a short one gets
// ERROR_MORE_DATA with the size needed and nothing written.
LONG deliver(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD dataSize) {
    if (data != nullptr && dataSize == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD need = static_cast<DWORD>(bytes.size());
    if (dataSize == nullptr) {
        return ERROR_SUCCESS;
    }
    if (data == nullptr) {
        *dataSize = need;
        return ERROR_SUCCESS;
    }
    if (*dataSize < need) {
        *dataSize = need;
        return ERROR_MORE_DATA;
    }
    if (need > 0) {
        std::memcpy(data, bytes.data(), need);
    }
    *dataSize = need;
    return ERROR_SUCCESS;
}

// Copies a name into a character buffer whose size counts the NUL; on success the size
// becomes the length without it.
LONG deliverName(const std::string& name, LPSTR buffer, LPDWORD chars) {
    if (buffer == nullptr || chars == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*chars < name.size() + 1) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void toFileTime(std::int64_t seconds, PFILETIME ft) {
    if (ft == nullptr) {
        return;
    }
    // 100 ns ticks between 1601-01-01 and 1970-01-01.
    constexpr ULONGLONG kEpochDelta = 116444736000000000ull;
    ULONGLONG ticks =
        kEpochDelta + static_cast<ULONGLONG>(std::max<std::int64_t>(seconds, 0)) * 10000000ull;
    ft->dwLowDateTime = static_cast<DWORD>(ticks);
    ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

LONG openOrCreate(HKEY key, LPCSTR subKey, REGSAM desired, PHKEY result, bool create,
                  LPDWORD disposition) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    Resolved r;
    if (!resolve(key, r)) {
        return ERROR_INVALID_HANDLE;
    }
    if (create && !allowed(r, KEY_CREATE_SUB_KEY) && subKey != nullptr && *subKey != '\0') {
        return ERROR_ACCESS_DENIED;
    }
    std::string path;
    if (LONG err = joinPath(r.path, subKey, path); err != ERROR_SUCCESS) {
        return err;
    }
    HiveStore* hs = nullptr;
    if (LONG err = liveKey(r, hs); err != ERROR_SUCCESS) {
        return err;
    }
    bool created = false;
    if (create) {
        if (LONG err = hs->createKey(path, created); err != ERROR_SUCCESS) {
            return err;
        }
    } else {
        bool exists = false;
        if (LONG err = hs->keyExists(path, exists); err != ERROR_SUCCESS) {
            return err;
        }
        if (!exists) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    // The WOW64 view bits select nothing here: there is one view.
    HKEY h = newHandle(r.hive, path, desired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY));
    if (h == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *result = h;
    return ERROR_SUCCESS;
}

// Runs a body and turns any escaping exception into an error code: nothing crosses the API.
template <typename Body>
LONG guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INVALID_PARAMETER;
    }
}

// Resolves a handle for an operation that needs the given access on a key that still exists:
// ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED or the key's own state otherwise.
LONG accessKey(HKEY key, REGSAM access, Resolved& r, HiveStore*& hs) {
    if (!resolve(key, r)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!allowed(r, access)) {
        return ERROR_ACCESS_DENIED;
    }
    return liveKey(r, hs);
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR /*keyClass*/,
                        DWORD /*options*/, REGSAM desired, const SECURITY_ATTRIBUTES* /*security*/,
                        PHKEY result, LPDWORD disposition) {
    if (reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&] { return openOrCreate(key, subKey, desired, result, true, disposition); });
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM desired, PHKEY result) {
    return guarded([&] { return openOrCreate(key, subKey, desired, result, false, nullptr); });
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER) {
        return ERROR_SUCCESS;
    }
    {
        std::lock_guard lock(g_handlesMutex);
        if (key == nullptr || g_handles.erase(key) == 0) {
            return ERROR_INVALID_HANDLE;
        }
    }
    delete key;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
    if (reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        Resolved r;
        HiveStore* hs = nullptr;
        if (LONG err = accessKey(key, KEY_QUERY_VALUE, r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        StoredValue v;
        if (LONG err = hs->getValue(r.path, valueName ? valueName : "", v); err != ERROR_SUCCESS) {
            return err;
        }
        if (type != nullptr) {
            *type = v.type;
        }
        return deliver(v.data, data, dataSize);
    });
}

LSTATUS RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR valueName, DWORD flags, LPDWORD type,
                     PVOID data, LPDWORD dataSize) {
    if ((flags & RRF_RT_ANY) == 0 || (data != nullptr && dataSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        HKEY sub = key;
        if (subKey != nullptr && *subKey != '\0') {
            if (LONG err = RegOpenKeyExA(key, subKey, 0, KEY_QUERY_VALUE, &sub);
                err != ERROR_SUCCESS) {
                return err;
            }
        }
        struct Closer {
            HKEY k, owner;
            ~Closer() {
                if (k != owner) {
                    RegCloseKey(k);
                }
            }
        } closer{sub, key};
        DWORD t = 0;
        DWORD size = 0;
        if (LONG err = RegQueryValueExA(sub, valueName, nullptr, &t, nullptr, &size);
            err != ERROR_SUCCESS) {
            return err;
        }
        DWORD bit = 0;
        switch (t) {
            case REG_NONE:
                bit = RRF_RT_REG_NONE;
                break;
            case REG_SZ:
                bit = RRF_RT_REG_SZ;
                break;
            case REG_EXPAND_SZ:
                bit = RRF_RT_REG_EXPAND_SZ;
                break;
            case REG_BINARY:
                bit = RRF_RT_REG_BINARY;
                break;
            case REG_DWORD:
                bit = RRF_RT_REG_DWORD;
                break;
            case REG_MULTI_SZ:
                bit = RRF_RT_REG_MULTI_SZ;
                break;
            case REG_QWORD:
                bit = RRF_RT_REG_QWORD;
                break;
            default:
                bit = 0;
                break;
        }
        if ((flags & bit) == 0) {
            return ERROR_UNSUPPORTED_TYPE;
        }
        if (type != nullptr) {
            *type = t;
        }
        return RegQueryValueExA(sub, valueName, nullptr, nullptr, static_cast<LPBYTE>(data),
                                dataSize);
    });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize) {
    if (reserved != 0 || (data == nullptr && dataSize != 0) || dataSize > kMaxValueBytes) {
        return ERROR_INVALID_PARAMETER;
    }
    if (valueName != nullptr && std::strlen(valueName) > kMaxValueNameChars) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        Resolved r;
        HiveStore* hs = nullptr;
        if (LONG err = accessKey(key, KEY_SET_VALUE, r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        std::vector<BYTE> bytes = normalizedData(type, data, dataSize);
        return hs->setValue(r.path, valueName ? valueName : "", type, bytes.data(),
                            static_cast<DWORD>(bytes.size()));
    });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) {
    return guarded([&]() -> LONG {
        Resolved r;
        HiveStore* hs = nullptr;
        if (LONG err = accessKey(key, KEY_SET_VALUE, r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        return hs->deleteValue(r.path, valueName ? valueName : "");
    });
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        Resolved r;
        if (!resolve(key, r)) {
            return ERROR_INVALID_HANDLE;
        }
        std::string path;
        if (LONG err = joinPath(r.path, subKey, path); err != ERROR_SUCCESS) {
            return err;
        }
        // The roots themselves (and HKEY_CLASSES_ROOT's key) are never deleted.
        if (path.empty() || (r.predefined && path == r.path)) {
            return ERROR_ACCESS_DENIED;
        }
        HiveStore* hs = nullptr;
        if (LONG err = liveKey(r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        return hs->deleteKey(path);
    });
}

LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey) {
    return guarded([&]() -> LONG {
        Resolved r;
        if (!resolve(key, r)) {
            return ERROR_INVALID_HANDLE;
        }
        std::string path;
        if (LONG err = joinPath(r.path, subKey, path); err != ERROR_SUCCESS) {
            return err;
        }
        bool keepRoot = subKey == nullptr || *subKey == '\0';
        if (!keepRoot && r.predefined && path == r.path) {
            return ERROR_ACCESS_DENIED;
        }
        HiveStore* hs = nullptr;
        if (LONG err = liveKey(r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        bool exists = false;
        if (LONG err = hs->keyExists(path, exists); err != ERROR_SUCCESS) {
            return err;
        }
        if (!exists) {
            return ERROR_FILE_NOT_FOUND;
        }
        return hs->deleteTree(path, keepRoot);
    });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved,
                      LPSTR keyClass, LPDWORD classChars, PFILETIME lastWriteTime) {
    if (reserved != nullptr || name == nullptr || nameChars == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        Resolved r;
        HiveStore* hs = nullptr;
        if (LONG err = accessKey(key, KEY_ENUMERATE_SUB_KEYS, r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        std::string sub;
        std::int64_t written = 0;
        if (LONG err = hs->subKeyName(r.path, index, sub, written); err != ERROR_SUCCESS) {
            return err;
        }
        if (LONG err = deliverName(sub, name, nameChars); err != ERROR_SUCCESS) {
            return err;
        }
        // Keys have no class here.
        if (keyClass != nullptr && classChars != nullptr && *classChars > 0) {
            keyClass[0] = '\0';
        }
        if (classChars != nullptr) {
            *classChars = 0;
        }
        toFileTime(written, lastWriteTime);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (reserved != nullptr || valueName == nullptr || valueNameChars == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        Resolved r;
        HiveStore* hs = nullptr;
        if (LONG err = accessKey(key, KEY_QUERY_VALUE, r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        StoredValue v;
        if (LONG err = hs->valueAt(r.path, index, v); err != ERROR_SUCCESS) {
            return err;
        }
        if (LONG err = deliverName(v.name, valueName, valueNameChars); err != ERROR_SUCCESS) {
            return err;
        }
        if (type != nullptr) {
            *type = v.type;
        }
        return deliver(v.data, data, dataSize);
    });
}

LSTATUS RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classChars, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                         LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptor,
                         PFILETIME lastWriteTime) {
    if (reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        Resolved r;
        if (!resolve(key, r)) {
            return ERROR_INVALID_HANDLE;
        }
        HiveStore* hs = nullptr;
        if (LONG err = liveKey(r, hs); err != ERROR_SUCCESS) {
            return err;
        }
        vantor::registry::KeyInfo info;
        if (LONG err = hs->keyInfo(r.path, info); err != ERROR_SUCCESS) {
            return err;
        }
        if (keyClass != nullptr && classChars != nullptr && *classChars > 0) {
            keyClass[0] = '\0';
        }
        auto put = [](LPDWORD p, DWORD v) {
            if (p != nullptr) {
                *p = v;
            }
        };
        put(classChars, 0);
        put(subKeys, info.subKeys);
        put(maxSubKeyLen, info.maxSubKeyLen);
        put(maxClassLen, 0);
        put(values, info.values);
        put(maxValueNameLen, info.maxValueNameLen);
        put(maxValueLen, info.maxValueLen);
        put(securityDescriptor, 0);
        toFileTime(info.written, lastWriteTime);
        return ERROR_SUCCESS;
    });
}

LSTATUS VantorRegGetChangeStamp(HKEY root, ULONGLONG* stamp) {
    if (stamp == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return guarded([&]() -> LONG {
        Resolved r;
        if (!resolve(root, r) || !r.predefined) {
            return ERROR_INVALID_HANDLE;
        }
        LONG err = ERROR_SUCCESS;
        HiveStore* hs = store(r.hive, err);
        if (hs == nullptr) {
            return err;
        }
        HiveStore::ChangeMarker marker;
        if (err = hs->changeMarker(marker); err != ERROR_SUCCESS) {
            return err;
        }
        // One counter per hive, moved whenever its marker or its database (the environment
        // may move the hive) differs from what the previous call saw.
        struct Seen {
            HiveStore* store = nullptr;
            HiveStore::ChangeMarker marker;
            ULONGLONG stamp = 0;
        };
        static std::mutex mutex;
        static Seen seen[2];
        std::lock_guard lock(mutex);
        Seen& last = seen[r.hive == Hive::Machine ? 0 : 1];
        if (last.store != hs || !(last.marker == marker)) {
            last.store = hs;
            last.marker = marker;
            ++last.stamp;
        }
        *stamp = last.stamp;
        return ERROR_SUCCESS;
    });
}
