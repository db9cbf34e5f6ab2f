// The process-wide table of file identifiers and references that the card operations read at
// each use; filled with the defaults at load and changed by the host through
// CARDOLO_ChangeSetting.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cardolo {

// Setting names, exactly as hosts pass them.
inline constexpr const char* kSettingDsDfRoot = "SETTING_CNS_DS_DF_ROOT";
inline constexpr const char* kSettingPin = "SETTING_CNS_PIN";
inline constexpr const char* kSettingPuk = "SETTING_CNS_PUK";
inline constexpr const char* kSettingDf0 = "SETTING_CNS_DF0";
inline constexpr const char* kSettingDf0EfIdCarta = "SETTING_CNS_DF0_EF_ID_Carta";
inline constexpr const char* kSettingDf1 = "SETTING_CNS_DF1";
inline constexpr const char* kSettingDsPin = "SETTING_CNS_DS_PIN";
inline constexpr const char* kSettingDsPuk = "SETTING_CNS_DS_PUK";
inline constexpr const char* kSettingDsKauth = "SETTING_CNS_DS_KAUTH";
inline constexpr const char* kSettingDsDf = "SETTING_CNS_DS_DF";

class SettingsTable final {
  public:
    // The one table of the process, created with the defaults before any export runs.
    static SettingsTable& instance();

    SettingsTable();  // a table holding the ten defaults

    // Replaces the value of a known name or adds a new entry (unknown names are kept, unused).
    void change(const std::string& name, std::int32_t value);
    // The stored 32-bit value; 0 for a name not in the table or a value buffer under 4 bytes.
    std::int32_t value(const std::string& name) const;
    // Restores the defaults (tests only; hosts never need it).
    void reset();

    std::uint16_t fileId(const std::string& name) const {
        return static_cast<std::uint16_t>(value(name) & 0xFFFF);
    }
    std::uint8_t reference(const std::string& name) const {
        return static_cast<std::uint8_t>(value(name) & 0xFF);
    }

  private:
    // A value object holds a small byte buffer with the integer, as the table was defined.
    std::map<std::string, std::vector<std::uint8_t>> entries_;
};

}  // namespace cardolo
