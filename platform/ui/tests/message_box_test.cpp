// MessageBoxA on Qt, driven offscreen through the real QMessageBox: results per button set,
// default button, closing without a button, the test seam, and no display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <string>

#include "ui/qt_host.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"
#include "win/winuser.h"

namespace {

// Runs action on the message box once it is showing, then returns what MessageBoxA returned.
int withBox(UINT type, const std::function<void(QMessageBox&)>& action,
            std::string* seenText = nullptr, std::string* seenCaption = nullptr) {
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr) << "no message box is showing";
        if (seenText)
            *seenText = box->text().toStdString();
        if (seenCaption)
            *seenCaption = box->windowTitle().toStdString();
        action(*box);
    });
    return MessageBoxA(nullptr, "Grüße, PIN blocked", nullptr, type);
}

QAbstractButton* buttonFor(QMessageBox& box, QMessageBox::StandardButton which) {
    return box.button(which);
}

}  // namespace

struct ClickCase {
    UINT type;
    QMessageBox::StandardButton click;
    int expected;
};

TEST(MessageBox, EachButtonGivesItsResult) {
    const ClickCase cases[] = {
        {MB_OK, QMessageBox::Ok, IDOK},
        {MB_OKCANCEL, QMessageBox::Cancel, IDCANCEL},
        {MB_ABORTRETRYIGNORE, QMessageBox::Abort, IDABORT},
        {MB_ABORTRETRYIGNORE, QMessageBox::Ignore, IDIGNORE},
        {MB_YESNOCANCEL | MB_ICONQUESTION, QMessageBox::No, IDNO},
        {MB_YESNO | MB_ICONWARNING, QMessageBox::Yes, IDYES},
        {MB_RETRYCANCEL | MB_ICONERROR, QMessageBox::Retry, IDRETRY},
    };
    for (const auto& c : cases) {
        int result = withBox(c.type, [&](QMessageBox& box) {
            QAbstractButton* b = buttonFor(box, c.click);
            ASSERT_NE(b, nullptr);
            b->click();
        });
        EXPECT_EQ(result, c.expected) << "type " << c.type;
    }
}

TEST(MessageBox, TextCaptionAndDefaultButton) {
    std::string text, caption;
    int result = withBox(
        MB_YESNO | MB_DEFBUTTON2,
        [](QMessageBox& box) {
            EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::No));
            box.defaultButton()->click();
        },
        &text, &caption);
    EXPECT_EQ(result, IDNO);
    EXPECT_EQ(text, "Grüße, PIN blocked");  // UTF-8 is the ANSI code page here
    EXPECT_EQ(caption, "Error");            // a null caption reads "Error", as on Windows
}

TEST(MessageBox, ClosingWithoutAButton) {
    struct {
        UINT type;
        int expected;
    } cases[] = {{MB_OK, IDOK}, {MB_OKCANCEL, IDCANCEL}, {MB_YESNO, IDNO}};
    for (const auto& c : cases) {
        int result = withBox(c.type, [](QMessageBox& box) { box.reject(); });
        EXPECT_EQ(result, c.expected) << "type " << c.type;
    }
}

TEST(MessageBox, UnknownButtonSetIsRefused) {
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(nullptr, "x", "y", 0x0F), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(MessageBox, SeamAnswersWithoutShowing) {
    vantor::ui::MessageBoxRequest seen{};
    vantor::ui::setMessageBoxAnswerer([&](const vantor::ui::MessageBoxRequest& r) {
        seen = r;
        return IDRETRY;
    });
    EXPECT_EQ(MessageBoxA(nullptr, "Retry?", "PIN", MB_RETRYCANCEL), IDRETRY);
    vantor::ui::setMessageBoxAnswerer(nullptr);
    EXPECT_EQ(seen.text, "Retry?");
    EXPECT_EQ(seen.caption, "PIN");
    EXPECT_EQ(seen.type, static_cast<UINT>(MB_RETRYCANCEL));
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Without any display or platform the box must fail at once with ERROR_CANCELLED rather
    // than let Qt abort the process; checked before any QApplication exists.
    {
        std::string saved = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
        unsetenv("QT_QPA_PLATFORM");
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        SetLastError(0);
        int result = MessageBoxA(nullptr, "x", "y", MB_OK);
        if (result != 0 || GetLastError() != static_cast<DWORD>(ERROR_CANCELLED)) {
            std::fprintf(stderr, "no-display MessageBoxA gave %d, last error %u\n", result,
                         GetLastError());
            return 1;
        }
        setenv("QT_QPA_PLATFORM", saved.empty() ? "offscreen" : saved.c_str(), 1);
    }
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
