// The main window's stored position: left/top/width/height in twips as single-precision text.
#pragma once

#include <string>
#include <string_view>

namespace tesmira {

class SettingsStore;

// Window geometry in twips (1/1440 inch; 15 twips per pixel at 96 dots per inch).
struct TwipRect {
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;
};

struct TwipPoint {
    float left = 1000;
    float top = 1000;
};

inline constexpr float kTwipsPerPixel = 15.0f;
inline constexpr float kDefaultWindowOffset = 1000.0f;

// Section "Settings", values MainLeft and MainTop; a missing or unreadable value is 1000.
TwipPoint ReadWindowPosition(const SettingsStore& settings);

// Stores left, top, width and height, except for a minimised window, whose position is not its
// real place: then nothing is written and the previous position stays. False when the store
// refused a value.
bool WriteWindowPosition(SettingsStore& settings, const TwipRect& rect, bool minimised);

// A single-precision number as the store keeps it: shortest decimal text, no exponent
// ("1000", "1234.5").
std::string FormatSingle(float value);
// The number of such a text; nothing for text that is not a finite number.
bool ParseSingle(std::string_view text, float* value);

}  // namespace tesmira
