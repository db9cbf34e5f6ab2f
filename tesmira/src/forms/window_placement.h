// The main window's placement in Qt terms, stored through the twip-based settings helpers.
#pragma once

class QWidget;

namespace tesmira {

class SettingsStore;

// Moves a top-level window to the stored left/top (1000 twips each when nothing is stored).
void PlaceWindowFromSettings(QWidget* window, const SettingsStore& settings);
// Stores the window's outer left, top, width and height unless it is minimised, in which case
// the previous position stays. False when the store refused a value.
bool SaveWindowPlacement(const QWidget* window, SettingsStore& settings);

}  // namespace tesmira
