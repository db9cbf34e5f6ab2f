// The per-user settings store of a program: sections of string values under the user's
// "VB and VBA Program Settings" registry key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesmira {

// HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<program>\<section>, one string value
// per setting: the store that Visual Basic programs share, kept so that an existing installation
// (which writes the ATR table there) is read as it is.
class SettingsStore final {
  public:
    explicit SettingsStore(std::string program = "Tesmira");

    // The setting's text, or defaultValue when the section or value is missing, is not a
    // string, or cannot be read.
    std::string get(std::string_view section, std::string_view key,
                    std::string_view defaultValue = {}) const;
    // The setting's text, or nothing when it is missing or unreadable.
    std::optional<std::string> find(std::string_view section, std::string_view key) const;
    // Creates the section when needed and writes the value as a string. False when the registry
    // refuses (the reason is in the thread's last error).
    bool save(std::string_view section, std::string_view key, std::string_view value);

    const std::string& program() const { return program_; }

  private:
    std::string sectionPath(std::string_view section) const;

    std::string program_;
};

}  // namespace tesmira
