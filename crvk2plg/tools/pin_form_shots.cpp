// Screenshots of the three PIN dialogs for the documentation: each dialog in the language of
// the environment, with stars typed into its fields, saved as PNG files (window frame included
// when a window manager draws one). Usage: crvk2plg_shots OUTDIR SUFFIX
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <cstdio>
#include <string>

#include "pin_form.h"

namespace {

void settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTDIR SUFFIX\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString suffix = QString::fromLocal8Bit(argv[2]);
    const struct {
        crvk2plg::FormKind kind;
        const char* name;
        int typed[3];
    } shots[] = {{crvk2plg::FormKind::PinEntry, "pin-entry", {6, 0, 0}},
                 {crvk2plg::FormKind::ChangePin, "pin-change", {5, 8, 3}},
                 {crvk2plg::FormKind::Unblock, "pin-unblock", {8, 6, 6}}};
    int failures = 0;
    for (const auto& s : shots) {
        crvk2plg::PinForm form(s.kind, nullptr);
        for (int i = 0; i < 3; ++i) {
            if (QLineEdit* f = form.field(static_cast<crvk2plg::Field>(i))) {
                f->setText(QString(s.typed[i], QChar('1')));
                f->deselect();
            }
        }
        form.show();
        settle(700);
        // The focus selects the first field's text; a user who typed sees no selection.
        if (QLineEdit* f = form.field(crvk2plg::Field::First)) {
            f->deselect();
        }
        settle(100);
        // The whole (black) screen, cut to what is drawn on it: the dialog and the frame the
        // window manager put around it, whatever Qt knows of that frame.
        const QImage screen = form.screen()->grabWindow(0).toImage();
        QRect drawn;
        for (int y = 0; y < screen.height(); ++y) {
            for (int x = 0; x < screen.width(); ++x) {
                if ((screen.pixel(x, y) & 0xFFFFFF) != 0) {
                    drawn |= QRect(x, y, 1, 1);
                }
            }
        }
        QPixmap shot =
            QPixmap::fromImage(screen.copy(drawn.isValid() ? drawn : form.frameGeometry()));
        const QString path = dir + "/crvk2plg-" + s.name + "-" + suffix + ".png";
        if (shot.isNull() || !shot.save(path)) {
            std::fprintf(stderr, "could not save %s\n", qPrintable(path));
            ++failures;
        } else {
            std::printf("%s %dx%d\n", qPrintable(path), shot.width(), shot.height());
        }
        form.reject();
    }
    return failures == 0 ? 0 : 1;
}
