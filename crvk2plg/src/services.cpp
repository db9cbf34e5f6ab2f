// The plug-in's operations: message boxes, the PIN dialogs by request kind, notify events and
// the key, with the bounded copies into the caller's buffers.
#include "services.h"

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <string>

#include "form_logic.h"
#include "owner_window.h"
#include "pin_form.h"
#include "texts.h"
#include "ui/qt_host.h"
#include "vantor/default_sm_key.h"
#include "win/winuser.h"

namespace crvk2plg {

namespace {

// A message box owned by the caller's window. The owner is looked up inside the same Qt
// application scope the box runs in; without a display MessageBoxA answers 0 and shows nothing.
int32_t ownedMessageBox(const char* text, const char* caption, uint32_t type) {
    // Qt widgets exist only on the application's thread: a caller on another thread of a Qt
    // program gets the answer of a box that could not be shown instead of a crash.
    if (QApplication::instance() != nullptr &&
        QApplication::instance()->thread() != QThread::currentThread()) {
        return 0;
    }
    const bool ownApplication = QApplication::instance() == nullptr;
    vantor::ui::ApplicationScope app;
    if (app.ok() && ownApplication) {
        // As for the dialogs: closing our only window must not quit the thread's event loops.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    return MessageBoxA(app.ok() ? vantor::ui::hwndFromWidget(findOwnerWindow()) : nullptr, text,
                       caption, type);
}

int32_t showTable(DWORD textId, DWORD captionId, uint32_t type) {
    const std::string text = loadText(textId);
    const std::string caption = loadText(captionId);
    return ownedMessageBox(text.c_str(), caption.c_str(), type);
}

struct EventBox {
    int32_t event;
    DWORD text;
    DWORD caption;
    uint32_t type;
    int positive;  // the button that gives 1 (0: the event always gives 0)
};

constexpr EventBox kEvents[] = {
    {0, 13, 14, MB_ICONINFORMATION | MB_OK, 0},  {1, 15, 16, MB_ICONWARNING | MB_OK, 0},
    {8, 1, 2, MB_ICONWARNING | MB_YESNO, IDYES}, {9, 3, 4, MB_ICONWARNING | MB_OK, 0},
    {10, 5, 6, MB_ICONWARNING | MB_OK, 0},       {16, 7, 8, MB_ICONWARNING | MB_YESNO, IDYES},
    {17, 9, 10, MB_ICONWARNING | MB_OK, 0},      {24, 11, 12, MB_ICONQUESTION | MB_OKCANCEL, IDOK},
};

}  // namespace

void boundedCopy(char* buffer, uint32_t length, std::span<const std::uint8_t> text) {
    const auto zero = std::find(text.begin(), text.end(), std::uint8_t{0});
    const std::size_t n =
        std::min<std::size_t>(length, static_cast<std::size_t>(zero - text.begin()));
    if (n != 0) {
        std::memcpy(buffer, text.data(), n);
    }
    if (n < length) {
        std::memset(buffer + n, 0, length - n);
    }
}

int32_t showMessage(const char* text, const char* caption, uint32_t type) {
    return ownedMessageBox(text, caption, type);
}

int32_t askRetry() {
    return showTable(1, 2, MB_ICONWARNING | MB_YESNO) == IDYES ? 1 : 0;
}

int32_t askPin(char* buffer, uint32_t length) {
    return request(0, buffer, length, nullptr, 0);
}

int32_t getKey(uint8_t* key24) {
    if (key24 == nullptr) {
        return -1;
    }
    std::memcpy(key24, vantor::kDefaultSecureMessagingKey.data(),
                vantor::kDefaultSecureMessagingKey.size());
    return 0;
}

int32_t request(int32_t kind, char* buffer1, uint32_t length1, char* buffer2, uint32_t length2) {
    FormKind form;
    switch (kind) {
        case 0:
        case 1:
        case 2:
            form = FormKind::PinEntry;
            break;
        case 3:
            form = FormKind::Unblock;
            break;
        case 4:
            form = FormKind::ChangePin;
            break;
        case 5:
            form = FormKind::ChangePuk;
            break;
        default:
            return -1;
    }
    // A buffer the result would go to must be there before anything is asked.
    if ((buffer1 == nullptr && length1 != 0) ||
        (form != FormKind::PinEntry && buffer2 == nullptr && length2 != 0)) {
        return -1;
    }
    FormValues values;
    if (!runPinForm(form, values)) {
        return -1;
    }
    if (form == FormKind::PinEntry) {
        boundedCopy(buffer1, length1, values.first);
    } else {
        boundedCopy(buffer1, length1, values.newValue);
        boundedCopy(buffer2, length2, values.first);
    }
    values.first.wipe();
    values.newValue.wipe();
    return 0;
}

int32_t notify(int32_t event) {
    for (const EventBox& e : kEvents) {
        if (e.event == event) {
            const int answer = showTable(e.text, e.caption, e.type);
            return e.positive != 0 && answer == e.positive ? 1 : 0;
        }
    }
    return 0;
}

}  // namespace crvk2plg
