// SettingsStore over the registry calls: one subkey per section, REG_SZ values.
#include "settings_store.h"

#include <vector>

#include "win/errhandlingapi.h"
#include "win/winreg.h"

namespace tesmira {

namespace {

constexpr const char* kSettingsRoot = "Software\\VB and VBA Program Settings\\";
// Settings are short texts; a value beyond this is not one of ours and is treated as missing
// rather than read into memory whole.
constexpr DWORD kMaxValueBytes = 64 * 1024;

// Closes an opened key on every path.
class KeyHandle final {
  public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

}  // namespace

SettingsStore::SettingsStore(std::string program) : program_(std::move(program)) {}

std::string SettingsStore::sectionPath(std::string_view section) const {
    std::string path = kSettingsRoot;
    path += program_;
    path += '\\';
    path += section;
    return path;
}

std::optional<std::string> SettingsStore::find(std::string_view section,
                                               std::string_view key) const {
    KeyHandle handle;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sectionPath(section).c_str(), 0, KEY_QUERY_VALUE,
                      handle.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::string name(key);
    // Ask for the size, then read; a value that grows in between is asked for again, a bounded
    // number of times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        if (RegGetValueA(handle.get(), nullptr, name.c_str(), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ,
                         &type, nullptr, &size) != ERROR_SUCCESS ||
            size > kMaxValueBytes) {
            return std::nullopt;
        }
        std::vector<char> data(size + 1, '\0');
        DWORD got = size;
        LSTATUS status =
            RegGetValueA(handle.get(), nullptr, name.c_str(), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ,
                         &type, data.data(), &got);
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return std::nullopt;
        }
        // The registry terminates string results; the text ends at the first terminator.
        return std::string(data.data());
    }
    return std::nullopt;
}

std::string SettingsStore::get(std::string_view section, std::string_view key,
                               std::string_view defaultValue) const {
    std::optional<std::string> value = find(section, key);
    return value ? *value : std::string(defaultValue);
}

bool SettingsStore::save(std::string_view section, std::string_view key, std::string_view value) {
    if (value.size() + 1 > kMaxValueBytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    KeyHandle handle;
    LSTATUS status =
        RegCreateKeyExA(HKEY_CURRENT_USER, sectionPath(section).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, handle.out(), nullptr);
    if (status == ERROR_SUCCESS) {
        const std::string text(value);
        status = RegSetValueExA(handle.get(), std::string(key).c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>(text.size() + 1));
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    return true;
}

}  // namespace tesmira
