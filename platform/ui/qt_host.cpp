// Qt hosting: display detection and the QApplication made on demand for a library's caller.
#include "ui/qt_host.h"

#include <QApplication>
#include <cstdlib>

namespace vantor::ui {

namespace {

bool nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

bool displayAvailable() {
    if (QApplication::instance() != nullptr) {
        return true;
    }
    // Qt aborts the process when it cannot reach the platform it was told to use, so a window
    // is only attempted when something names a platform or a display.
    return nonEmptyEnv("QT_QPA_PLATFORM") || nonEmptyEnv("DISPLAY") ||
           nonEmptyEnv("WAYLAND_DISPLAY");
}

ApplicationScope::ApplicationScope() {
    if (QApplication::instance() != nullptr) {
        ok_ = true;
        return;
    }
    if (!displayAvailable()) {
        return;
    }
    // QApplication keeps references to argc and argv for its whole life.
    static int argc = 1;
    static char name[] = "vantor";
    static char* argv[] = {name, nullptr};
    own_ = std::make_unique<QApplication>(argc, argv);
    ok_ = true;
}

ApplicationScope::~ApplicationScope() = default;

}  // namespace vantor::ui
