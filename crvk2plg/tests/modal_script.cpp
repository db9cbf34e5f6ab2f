// The modal-window driver of the plug-in's tests.
#include "modal_script.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace crvk2plg::test {

namespace {
constexpr int kPollMs = 5;
}

ModalScript::ModalScript(std::vector<Step> steps, int limitMs)
    : steps_(std::move(steps)), limitMs_(limitMs) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start(kPollMs);
}

ModalScript::~ModalScript() {
    timer_.stop();
}

void ModalScript::poll() {
    elapsedMs_ += kPollMs;
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr || !w->isVisible()) {
        return;
    }
    if (elapsedMs_ > limitMs_) {
        ++unexpected_;
        if (auto* d = qobject_cast<QDialog*>(w)) {
            d->reject();
        }
        return;
    }
    if (w == last_.data()) {
        return;
    }
    last_ = w;
    Seen s;
    s.className = w->metaObject()->className();
    s.title = w->windowTitle().toStdString();
    s.self = w;
    s.parent = w->parentWidget();
    s.geometry = w->geometry();
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
        s.text = box->text().toStdString();
        s.icon = box->icon();
        s.buttons = box->standardButtons();
    } else if (auto* prompt = w->findChild<QLabel*>("202")) {
        s.text = prompt->text().toStdString();
    }
    if (QWidget* f = QApplication::focusWidget(); f != nullptr) {
        s.focus = f->objectName().toStdString();
    } else if (QWidget* f2 = w->focusWidget(); f2 != nullptr) {
        s.focus = f2->objectName().toStdString();
    }
    seen_.push_back(s);
    if (next_ < steps_.size()) {
        // Run outside this timer's slot: a step that opens a nested modal loop (OK showing a
        // message box) must leave the poll free to see the box.
        Step step = steps_[next_++];
        QTimer::singleShot(0, w, [step, w] { step(w); });
    } else {
        ++unexpected_;
        if (auto* d = qobject_cast<QDialog*>(w)) {
            d->reject();
        }
    }
}

void setField(QWidget* window, const char* id, const QString& text) {
    auto* edit = window->findChild<QLineEdit*>(id);
    if (edit != nullptr) {
        edit->setText(text);
    }
}

QString fieldText(QWidget* window, const char* id) {
    auto* edit = window->findChild<QLineEdit*>(id);
    return edit != nullptr ? edit->text() : QStringLiteral("<no field>");
}

void click(QWidget* window, const char* id) {
    if (auto* b = window->findChild<QPushButton*>(id)) {
        b->click();
    }
}

void clickBox(QWidget* box, QMessageBox::StandardButton which) {
    if (auto* mb = qobject_cast<QMessageBox*>(box)) {
        if (QAbstractButton* b = mb->button(which)) {
            b->click();
        }
    }
}

Step fillAndOk(std::vector<std::pair<const char*, QString>> fields) {
    return [fields](QWidget* w) {
        for (const auto& [id, text] : fields) {
            setField(w, id, text);
        }
        click(w, "1");
    };
}

Step cancel() {
    return [](QWidget* w) { click(w, "2"); };
}

Step answerBox(QMessageBox::StandardButton which) {
    return [which](QWidget* w) { clickBox(w, which); };
}

}  // namespace crvk2plg::test

// Qt's font database initialises fontconfig, which keeps its configuration for the life of the
// process and is never torn down; the leak check of the sanitizer build must not count it
// against the programs that show windows. (Read only when a sanitizer runtime is present.)
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
