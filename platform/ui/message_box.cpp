// MessageBoxA on Qt: the Windows button sets, icons, default buttons and results.
#include <QMessageBox>
#include <QPushButton>
#include <mutex>
#include <utility>
#include <vector>

#include "ui/qt_host.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"
#include "win/winuser.h"

namespace vantor::ui {

namespace {

std::mutex answererLock;
MessageBoxAnswerer& answererSlot() {
    static MessageBoxAnswerer answerer;
    return answerer;
}

MessageBoxAnswerer currentAnswerer() {
    std::lock_guard<std::mutex> guard(answererLock);
    return answererSlot();
}

struct ButtonSpec {
    QMessageBox::StandardButton button;
    int result;
};

// The buttons of each Windows button set, in the order Windows shows them.
bool buttonsFor(UINT type, std::vector<ButtonSpec>& out) {
    switch (type & MB_TYPEMASK) {
        case MB_OK:
            out = {{QMessageBox::Ok, IDOK}};
            return true;
        case MB_OKCANCEL:
            out = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
            return true;
        case MB_ABORTRETRYIGNORE:
            out = {{QMessageBox::Abort, IDABORT},
                   {QMessageBox::Retry, IDRETRY},
                   {QMessageBox::Ignore, IDIGNORE}};
            return true;
        case MB_YESNOCANCEL:
            out = {{QMessageBox::Yes, IDYES},
                   {QMessageBox::No, IDNO},
                   {QMessageBox::Cancel, IDCANCEL}};
            return true;
        case MB_YESNO:
            out = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
            return true;
        case MB_RETRYCANCEL:
            out = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
            return true;
        default:
            return false;
    }
}

QMessageBox::Icon iconFor(UINT type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONHAND:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONASTERISK:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// What closing the box without a button means on Windows: Cancel where there is one; a box
// without Cancel cannot be closed that way except the single OK box (and Yes/No, where the
// suite treats a forced close as No).
int escapeResult(const std::vector<ButtonSpec>& buttons) {
    for (const auto& b : buttons) {
        if (b.result == IDCANCEL) {
            return IDCANCEL;
        }
    }
    for (const auto& b : buttons) {
        if (b.result == IDNO) {
            return IDNO;
        }
    }
    return buttons.front().result;
}

int showBox(HWND owner, const QString& text, const QString& caption, UINT type,
            const std::vector<ButtonSpec>& buttons) {
    QMessageBox box(iconFor(type), caption, text, QMessageBox::NoButton, widgetFromHwnd(owner));
    std::vector<std::pair<QAbstractButton*, int>> made;
    for (const auto& b : buttons) {
        made.emplace_back(box.addButton(b.button), b.result);
    }
    std::size_t defIndex = (type & MB_DEFMASK) >> 8;
    if (defIndex >= made.size()) {
        defIndex = 0;
    }
    box.setDefaultButton(static_cast<QPushButton*>(made[defIndex].first));
    if (type & (MB_SETFOREGROUND | MB_TOPMOST | MB_SYSTEMMODAL)) {
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    }
    box.exec();
    QAbstractButton* pressed = box.clickedButton();
    for (const auto& [button, result] : made) {
        if (button == pressed) {
            return result;
        }
    }
    return escapeResult(buttons);
}

}  // namespace

void setMessageBoxAnswerer(MessageBoxAnswerer answerer) {
    std::lock_guard<std::mutex> guard(answererLock);
    answererSlot() = std::move(answerer);
}

}  // namespace vantor::ui

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    using namespace vantor::ui;
    try {
        std::vector<ButtonSpec> buttons;
        if (!buttonsFor(type, buttons)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string textUtf8 = text != nullptr ? text : "";
        std::string captionUtf8 = caption != nullptr ? caption : "Error";
        if (MessageBoxAnswerer answerer = currentAnswerer()) {
            return answerer(MessageBoxRequest{owner, textUtf8, captionUtf8, type});
        }
        ApplicationScope app;
        if (!app.ok()) {
            SetLastError(ERROR_CANCELLED);
            return 0;
        }
        return showBox(owner, QString::fromUtf8(textUtf8.c_str()),
                       QString::fromUtf8(captionUtf8.c_str()), type, buttons);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}
