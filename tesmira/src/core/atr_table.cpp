// LoadAtrTable and the table's keyed, ordered collection.
#include "atr_table.h"

#include <strings.h>
#include <charconv>
#include <cmath>

#include "settings_store.h"

namespace tesmira {

namespace {

constexpr const char* kSection = "ATRs";

// Splits a text into its characters (UTF-8 sequences), as "list" has one character per entry.
std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t len = 1;
        auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xF0) {
            len = 4;
        } else if (lead >= 0xE0) {
            len = 3;
        } else if (lead >= 0xC0) {
            len = 2;
        }
        len = std::min(len, text.size() - i);
        out.emplace_back(text.substr(i, len));
        i += len;
    }
    return out;
}

}  // namespace

bool AtrTable::add(atrItem item) {
    if (find(item.atr) != nullptr) {
        return false;
    }
    items_.push_back(std::move(item));
    return true;
}

const atrItem* AtrTable::find(std::string_view atr) const {
    for (const atrItem& item : items_) {
        if (item.atr.size() == atr.size() &&
            strncasecmp(item.atr.data(), atr.data(), atr.size()) == 0) {
            return &item;
        }
    }
    return nullptr;
}

std::optional<std::int16_t> ParseCardType(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    // One sign at most: a '+' is dropped here, so "+-5" must not become -5.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    double value = 0;
    auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    double rounded = std::nearbyint(value);  // the default rounding mode: half to even
    if (rounded < -32768.0 || rounded > 32767.0) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(rounded);
}

AtrTable LoadAtrTable(const SettingsStore& settings) {
    AtrTable table;
    for (const std::string& k : characters(settings.get(kSection, "list"))) {
        atrItem item;
        item.atr = settings.get(kSection, k + "-atr");
        item.atrMask = settings.get(kSection, k + "-atrMask");
        item.p11 = settings.get(kSection, k + "-P11");
        item.CardName = settings.get(kSection, k + "-name");
        std::optional<std::int16_t> type = ParseCardType(settings.get(kSection, k + "-type"));
        if (!type) {
            continue;
        }
        item.CardType = *type;
        if (item.p11.empty() || item.atr.empty() || item.atrMask.empty() ||
            item.atr.size() != item.atrMask.size()) {
            continue;
        }
        table.add(std::move(item));
    }
    return table;
}

}  // namespace tesmira
