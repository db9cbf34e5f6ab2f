// Test-side automation for another process that shows the plug-in's windows (pkcs11-tool on the
// bench): preloaded into it, this library registers a Qt start-up routine, so every QApplication
// the process makes (the plug-in makes its own) polls for modal windows. A PIN dialog gets the
// PIN of CRVK2PLG_ANSWER_PIN and OK; a message box its default button. Each window is logged as
// "dialog|title|prompt" or "box|title|text" to CRVK2PLG_ANSWER_LOG. Nothing of this lives in the
// plug-in: it sees an ordinary user.
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {

QPointer<QWidget> lastSeen;

void logLine(const char* kind, const QString& title, const QString& text) {
    const char* path = std::getenv("CRVK2PLG_ANSWER_LOG");
    if (path == nullptr) {
        return;
    }
    if (FILE* f = std::fopen(path, "a")) {
        QString flat = text;
        flat.replace('\r', "\\r").replace('\n', "\\n");
        std::fprintf(f, "%s|%s|%s\n", kind, title.toUtf8().constData(), flat.toUtf8().constData());
        std::fclose(f);
    }
}

void answer(QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
        logLine("box", box->windowTitle(), box->text());
        if (QAbstractButton* b = box->defaultButton()) {
            b->click();
        }
        return;
    }
    auto* pin = w->findChild<QLineEdit*>("201");
    auto* prompt = w->findChild<QLabel*>("202");
    logLine("dialog", w->windowTitle(), prompt != nullptr ? prompt->text() : QString());
    const char* value = std::getenv("CRVK2PLG_ANSWER_PIN");
    if (pin != nullptr && value != nullptr) {
        pin->setText(QString::fromUtf8(value));
    }
    if (auto* ok = w->findChild<QPushButton*>("1")) {
        ok->click();
    }
}

void poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr || !w->isVisible() || w == lastSeen.data()) {
        return;
    }
    lastSeen = w;
    // Answered outside the timer's slot, so a box the answer opens is seen by the next poll.
    QTimer::singleShot(0, w, [w] { answer(w); });
}

void startPolling() {
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, &poll);
    timer->start(5);
}

__attribute__((constructor)) void install() {
    qAddPreRoutine(&startPolling);
}

}  // namespace
