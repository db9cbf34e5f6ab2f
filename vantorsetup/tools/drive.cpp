// vantorsetup-drive: runs the setup program's real main dialog to choose a smart-logon
// certificate without a person, for the demo. It selects the smart-logon option, presses
// Continue, selects the certificate whose list text contains the text given, optionally takes
// pictures of both dialogs, presses OK, and prints the resulting message on one line.
// First: its locale constants are the plain definitions the language header then keeps.
#include "win/objbase.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "certificate_dialog.h"
#include "main_dialog.h"
#include "setup_messages.h"
#include "ui/qt_host.h"
#include "win/errhandlingapi.h"

namespace {

struct Options {
    std::string subject;
    bool import = false;
    std::string screenshots;
    std::optional<std::string> pin;
    int timeoutSeconds = 120;
};

void usage(FILE* out) {
    std::fprintf(
        out,
        "Usage: vantorsetup-drive --choose-subject TEXT [--screenshots DIR] [--pin PIN]\n"
        "                         [--timeout SECONDS]\n"
        "       vantorsetup-drive --import [--pin PIN] [--timeout SECONDS]\n"
        "Chooses the smart-logon certificate whose list text contains TEXT in the setup\n"
        "program's dialogs and prints the message that results on one line. Exit 0 when\n"
        "the certificate was set up, 1 otherwise, 2 for a usage error.\n"
        "With --import, runs the import instead and prints the card provider's message;\n"
        "exit 0 when the import succeeded.\n"
        "  --screenshots DIR  writes vantorsetup-main.png and vantorsetup-certificates.png\n"
        "  --pin PIN          answers the card provider's PIN dialog (else a person does)\n"
        "  --timeout SECONDS  gives up after this long (default 120)\n");
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--choose-subject" && (v = value())) {
            o.subject = v;
        } else if (a == "--import") {
            o.import = true;
        } else if (a == "--screenshots" && (v = value())) {
            o.screenshots = v;
        } else if (a == "--pin" && (v = value())) {
            o.pin = v;
        } else if (a == "--timeout" && (v = value())) {
            o.timeoutSeconds = std::atoi(v);
        } else {
            return false;
        }
    }
    return o.subject.empty() == o.import && o.timeoutSeconds > 0;
}

bool save(QWidget& widget, const Options& o, const char* name) {
    if (o.screenshots.empty()) {
        return true;
    }
    QDir().mkpath(QString::fromStdString(o.screenshots));
    const QString path = QString::fromStdString(o.screenshots) + "/" + name;
    if (!widget.grab().save(path, "PNG")) {
        std::fprintf(stderr, "vantorsetup-drive: cannot write %s\n", path.toUtf8().constData());
        return false;
    }
    return true;
}

std::string oneLine(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) {
        text.replace(at, 2, " ");
    }
    for (char& c : text) {
        c = (c == '\n' || c == '\r') ? ' ' : c;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    if (!vantor::ui::displayAvailable()) {
        std::fprintf(stderr, "vantorsetup-drive: no display (set DISPLAY or QT_QPA_PLATFORM)\n");
        return 1;
    }
    QApplication app(argc, argv);
    CoInitialize(nullptr);

    // The program's own message boxes are read, not shown.
    std::vector<std::string> messages;
    vantor::ui::setMessageBoxAnswerer([&](const vantor::ui::MessageBoxRequest& request) {
        messages.push_back(request.text);
        return IDOK;
    });

    bool ok = true;
    std::vector<std::string> providerMessages;
    DWORD importError = 0;
    {
        vantorsetup::MainDialog dialog;
        dialog.show();
        (o.import ? dialog.importOption() : dialog.smartLogonOption())->click();
        QApplication::processEvents();
        ok = save(dialog, o, "vantorsetup-main.png") && ok;

        // Acts on whichever modal window is on top: the certificate list, the card provider's
        // PIN dialog (typed on one look, confirmed on the next, once the text is still there), or
        // a box of the card provider's own, which is read and closed.
        QElapsedTimer clock;
        clock.start();
        bool listDone = false;
        bool pinTyped = false;
        bool pinSubmitted = false;
        QTimer poll;
        poll.setInterval(50);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible()) {
                return;
            }
            if (clock.elapsed() > o.timeoutSeconds * 1000LL) {
                std::fprintf(stderr, "vantorsetup-drive: timed out at \"%s\"\n",
                             modal->windowTitle().toUtf8().constData());
                ok = false;
                if (auto* d = qobject_cast<QDialog*>(modal)) {
                    d->reject();
                }
                return;
            }
            if (auto* certs = qobject_cast<vantorsetup::CertificateDialog*>(modal)) {
                if (listDone) {
                    return;
                }
                listDone = true;
                QTableWidget* list = certs->list();
                for (int row = 0; row < list->rowCount(); ++row) {
                    if (list->item(row, 0)->text().contains(QString::fromStdString(o.subject))) {
                        list->selectRow(row);
                        QApplication::processEvents();
                        ok = save(*certs, o, "vantorsetup-certificates.png") && ok;
                        QMetaObject::invokeMethod(certs->okButton(), &QPushButton::click,
                                                  Qt::QueuedConnection);
                        return;
                    }
                }
                std::fprintf(stderr,
                             "vantorsetup-drive: no certificate in the list contains \"%s\"\n",
                             o.subject.c_str());
                ok = false;
                QMetaObject::invokeMethod(certs, &QDialog::reject, Qt::QueuedConnection);
            } else if (modal->objectName() == "tvxPinDialog" && o.pin) {
                auto* edit = modal->findChild<QLineEdit*>("control1005");
                auto* confirm = modal->findChild<QPushButton*>("control1");
                if (edit == nullptr || confirm == nullptr || edit->isReadOnly() ||
                    !edit->isEnabled()) {
                    return;
                }
                const QString pin = QString::fromStdString(*o.pin);
                if (pinSubmitted) {
                    // Asked again after the PIN went in: it was refused. Typing it again would
                    // only spend the token's tries, so the dialog is cancelled.
                    if (edit->text() != pin) {
                        std::fprintf(stderr, "vantorsetup-drive: the PIN was refused\n");
                        ok = false;
                        auto* cancel = modal->findChild<QPushButton*>("control2");
                        QMetaObject::invokeMethod(cancel != nullptr ? cancel : confirm,
                                                  &QPushButton::click, Qt::QueuedConnection);
                    }
                } else if (pinTyped && edit->text() == pin) {
                    pinSubmitted = true;
                    QMetaObject::invokeMethod(confirm, &QPushButton::click, Qt::QueuedConnection);
                } else {
                    edit->setText(QString::fromStdString(*o.pin));
                    pinTyped = true;
                }
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                if (o.import) {
                    providerMessages.push_back(box->text().toStdString());
                } else {
                    std::fprintf(stderr, "vantorsetup-drive: the card provider says: %s\n",
                                 oneLine(box->text().toStdString()).c_str());
                }
                QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
            }
        });
        poll.start();
        SetLastError(0);
        dialog.continueButton()->click();
        // The import reports failure in the last error (and its own box); success leaves 0.
        importError = GetLastError();
        poll.stop();
        if (!o.import && !listDone && messages.empty()) {
            std::fprintf(stderr, "vantorsetup-drive: the certificate list did not open\n");
            ok = false;
        }
    }
    vantor::ui::setMessageBoxAnswerer(nullptr);
    CoUninitialize();

    if (o.import) {
        // Message 0x3 (no card provider) is the program's own; any other is the provider's.
        for (const std::string& text : messages) {
            std::printf("%s\n", oneLine(text).c_str());
        }
        for (const std::string& text : providerMessages) {
            std::printf("%s\n", oneLine(text).c_str());
        }
        return ok && messages.empty() && !providerMessages.empty() && importError == 0 ? 0 : 1;
    }
    if (messages.empty()) {
        std::fprintf(stderr, "vantorsetup-drive: no message\n");
        return 1;
    }
    const std::string& last = messages.back();
    std::printf("%s\n", oneLine(last).c_str());
    return ok && last == vantorsetup::setupMessage(vantorsetup::MSG_SETUP_DONE) ? 0 : 1;
}
