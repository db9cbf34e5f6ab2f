// OwnerWindowFinder: the window of the calling process that the plug-in's dialogs and message
// boxes belong to.
#pragma once

class QWidget;

namespace crvk2plg {

// The process's active window; else its first visible top-level window that answers; else null
// (message boxes then have no owner and dialogs are placed on the desktop).
QWidget* findOwnerWindow();

}  // namespace crvk2plg
