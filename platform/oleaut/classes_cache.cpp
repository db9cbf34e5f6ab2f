// The cache in front of activation's registry reads. Creating an object by ProgID reads the
// ProgID's CLSID and the class's InprocServer32 path: two key opens and four value reads in
// SQLite, some hundred microseconds, against a few for the creation itself. The answers are kept
// with the hive's change stamp (SQLite's data version, which every commit of any process moves)
// and used only while the stamp is unchanged.
#include "classes_cache.h"

#include <cctype>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "win/winreg.h"

namespace vantor::ole {

namespace {

// More distinct names than any client asks for; past it the cache starts over rather than grow.
constexpr size_t kMaxEntries = 4096;

bool readUncached(const std::string& path, const char* name, std::string& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    bool ok = false;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size < 65536) {
        std::string buf(size, '\0');
        if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                             &size) == ERROR_SUCCESS) {
            buf.resize(size);
            while (!buf.empty() && buf.back() == '\0') {
                buf.pop_back();
            }
            out = buf;
            ok = true;
        }
    }
    RegCloseKey(key);
    return ok;
}

struct Cache {
    std::mutex mutex;
    bool valid = false;
    ULONGLONG stamp = 0;
    // Key: path and value name, lower-cased as the registry compares them. Value: the string,
    // or none for a key or value that is not there.
    std::unordered_map<std::string, std::optional<std::string>> answers;
};

Cache& cache() {
    static auto* c = new Cache();  // outlives static destructors that may still create objects
    return *c;
}

std::string keyOf(const std::string& path, const char* name) {
    std::string key;
    key.reserve(path.size() + 2 + (name != nullptr ? std::char_traits<char>::length(name) : 0));
    for (char c : path) {
        key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    // A NUL cannot occur in a key path, so it separates the value name unambiguously; the
    // default value (null name) gets its own marker.
    key.push_back('\0');
    if (name == nullptr) {
        key.push_back('\1');
    } else {
        for (const char* p = name; *p != '\0'; ++p) {
            key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
        }
    }
    return key;
}

}  // namespace

bool readClassesString(const std::string& path, const char* name, std::string& out) {
    ULONGLONG stamp = 0;
    if (VantorRegGetChangeStamp(HKEY_CLASSES_ROOT, &stamp) != ERROR_SUCCESS) {
        return readUncached(path, name, out);  // no stamp, no cache: read what is there now
    }
    Cache& c = cache();
    const std::string key = keyOf(path, name);
    {
        std::lock_guard lock(c.mutex);
        if (!c.valid || c.stamp != stamp) {
            c.answers.clear();
            c.valid = true;
            c.stamp = stamp;
        }
        auto it = c.answers.find(key);
        if (it != c.answers.end()) {
            if (!it->second) {
                return false;
            }
            out = *it->second;
            return true;
        }
    }
    // Read outside the lock: a registry read may wait on another process's write.
    std::string value;
    const bool found = readUncached(path, name, value);
    {
        std::lock_guard lock(c.mutex);
        // Kept only if the registry did not move while we read; the stamp read before the read
        // can only be older than what was read, so a later call sees the change and reads again.
        if (c.valid && c.stamp == stamp) {
            if (c.answers.size() >= kMaxEntries) {
                c.answers.clear();
            }
            c.answers[key] = found ? std::optional<std::string>(value) : std::nullopt;
        }
    }
    if (found) {
        out = std::move(value);
    }
    return found;
}

void forgetClassesStrings() {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    c.answers.clear();
    c.valid = false;
}

}  // namespace vantor::ole
