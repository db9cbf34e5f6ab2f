// OwnerWindowFinder in Qt terms.
#include "owner_window.h"

#include <QApplication>
#include <QThread>
#include <QWidget>

namespace crvk2plg {

namespace {

// A window "answers" when the calling thread can talk to it at once: Qt widgets live on the GUI
// thread, so a window is only usable from that thread, and one being torn down or hidden is not
// a window to own a dialog. (Qt has no hung-window notion; this is the part of the check that
// still means something.)
bool answers(const QWidget* w) {
    return w != nullptr && w->isVisible() && w->isWindow() &&
           !w->testAttribute(Qt::WA_WState_Hidden) && w->thread() == QThread::currentThread() &&
           w->windowType() != Qt::Popup && w->windowType() != Qt::ToolTip;
}

}  // namespace

QWidget* findOwnerWindow() {
    if (QApplication::instance() == nullptr ||
        QApplication::instance()->thread() != QThread::currentThread()) {
        return nullptr;
    }
    if (QWidget* active = QApplication::activeWindow(); active != nullptr && answers(active)) {
        return active;
    }
    // Every widget of a Qt process lives on its GUI thread, so the thread's windows and the
    // process's top-level windows are one list here.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (answers(w)) {
            return w;
        }
    }
    return nullptr;
}

}  // namespace crvk2plg
