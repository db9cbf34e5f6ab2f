// Qt hosting for libraries and programs of the suite: a QApplication made on demand for a
// library's caller, the HWND <-> QWidget mapping, and the test seam in front of message boxes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "win/winuser.h"

class QApplication;
class QWidget;

namespace vantor::ui {

// True when a window can open: a QApplication exists already, or QT_QPA_PLATFORM, DISPLAY or
// WAYLAND_DISPLAY names somewhere to show it. Without one, Qt would abort the process.
bool displayAvailable();

// Makes sure a QApplication exists for the current call. When the caller has one, nothing is
// made; otherwise one is made on this thread and destroyed when the scope ends. ok() is false
// when no display is available, and then nothing may be shown.
class ApplicationScope final {
  public:
    ApplicationScope();
    ~ApplicationScope();
    ApplicationScope(const ApplicationScope&) = delete;
    ApplicationScope& operator=(const ApplicationScope&) = delete;

    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
    std::unique_ptr<QApplication> own_;
};

// A window handle is the address of its QWidget; null stays null.
inline QWidget* widgetFromHwnd(HWND hwnd) {
    return reinterpret_cast<QWidget*>(hwnd);
}
inline HWND hwndFromWidget(QWidget* widget) {
    return reinterpret_cast<HWND>(widget);
}

// What a message box was asked to show; handed to the test seam.
struct MessageBoxRequest {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};

// Tests pre-answer message boxes with a function returning the ID* result; null restores the
// real box. The seam belongs to the copy of this library linked into one module (a program or
// a shared library each carry their own), so it sees that module's MessageBoxA calls only; a
// test of another module's boxes drives the real QMessageBox through its widgets instead.
using MessageBoxAnswerer = std::function<int(const MessageBoxRequest&)>;
void setMessageBoxAnswerer(MessageBoxAnswerer answerer);

}  // namespace vantor::ui
