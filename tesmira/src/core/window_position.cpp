// Reading and writing the main window's position in the per-user settings.
#include "window_position.h"

#include <charconv>
#include <cmath>

#include "settings_store.h"

namespace tesmira {

namespace {

constexpr const char* kSection = "Settings";

float readOr(const SettingsStore& settings, const char* key, float fallback) {
    float value = 0;
    std::optional<std::string> text = settings.find(kSection, key);
    return (text && ParseSingle(*text, &value)) ? value : fallback;
}

}  // namespace

std::string FormatSingle(float value) {
    char buffer[64];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed);
    if (ec != std::errc()) {
        return "0";
    }
    return std::string(buffer, end);
}

bool ParseSingle(std::string_view text, float* value) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    // One sign at most: a '+' is dropped here, so "+-5" must not become -5.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return false;
        }
    }
    float parsed = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(parsed)) {
        return false;
    }
    *value = parsed;
    return true;
}

TwipPoint ReadWindowPosition(const SettingsStore& settings) {
    return TwipPoint{readOr(settings, "MainLeft", kDefaultWindowOffset),
                     readOr(settings, "MainTop", kDefaultWindowOffset)};
}

bool WriteWindowPosition(SettingsStore& settings, const TwipRect& rect, bool minimised) {
    if (minimised) {
        return true;
    }
    bool ok = settings.save(kSection, "MainLeft", FormatSingle(rect.left));
    ok = settings.save(kSection, "MainTop", FormatSingle(rect.top)) && ok;
    ok = settings.save(kSection, "MainWidth", FormatSingle(rect.width)) && ok;
    ok = settings.save(kSection, "MainHeight", FormatSingle(rect.height)) && ok;
    return ok;
}

}  // namespace tesmira
