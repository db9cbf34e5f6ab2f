// SettingsTable: the defaults and the lookup.
#include "settings/settings_table.h"

#include <cstring>

namespace cardolo {

namespace {

std::vector<std::uint8_t> encode(std::int32_t value) {
    std::vector<std::uint8_t> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

}  // namespace

SettingsTable& SettingsTable::instance() {
    static SettingsTable table;
    return table;
}

SettingsTable::SettingsTable() {
    reset();
}

void SettingsTable::reset() {
    entries_.clear();
    entries_[kSettingDsDfRoot] = encode(0x1400);
    entries_[kSettingPin] = encode(0x10);
    entries_[kSettingPuk] = encode(0x11);
    entries_[kSettingDf0] = encode(0x1000);
    entries_[kSettingDf0EfIdCarta] = encode(0x1003);
    entries_[kSettingDf1] = encode(0x1100);
    entries_[kSettingDsPin] = encode(0x1A);
    entries_[kSettingDsPuk] = encode(0x1B);
    entries_[kSettingDsKauth] = encode(0x1C);
    entries_[kSettingDsDf] = encode(0x8110);
}

void SettingsTable::change(const std::string& name, std::int32_t value) {
    entries_[name] = encode(value);
}

std::int32_t SettingsTable::value(const std::string& name) const {
    auto it = entries_.find(name);
    if (it == entries_.end() || it->second.size() < sizeof(std::int32_t)) {
        return 0;
    }
    std::int32_t v = 0;
    std::memcpy(&v, it->second.data(), sizeof(v));
    return v;
}

}  // namespace cardolo
