// Window placement: pixels of the window's frame to and from the stored twips.
#include "window_placement.h"

#include <QWidget>
#include <cmath>

#include "window_position.h"

namespace tesmira {

namespace {

int toPixels(float twips) {
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}
float toTwips(int pixels) {
    return static_cast<float>(pixels) * kTwipsPerPixel;
}

}  // namespace

void PlaceWindowFromSettings(QWidget* window, const SettingsStore& settings) {
    if (window == nullptr) {
        return;
    }
    TwipPoint place = ReadWindowPosition(settings);
    // A stored value far outside any screen (a damaged setting) would overflow the conversion.
    if (std::fabs(place.left) > 1e8f || std::fabs(place.top) > 1e8f) {
        place = TwipPoint{};
    }
    window->move(toPixels(place.left), toPixels(place.top));
}

bool SaveWindowPlacement(const QWidget* window, SettingsStore& settings) {
    if (window == nullptr) {
        return false;
    }
    const QRect frame = window->frameGeometry();
    TwipRect rect{toTwips(frame.x()), toTwips(frame.y()), toTwips(frame.width()),
                  toTwips(frame.height())};
    return WriteWindowPosition(settings, rect, window->isMinimized());
}

}  // namespace tesmira
