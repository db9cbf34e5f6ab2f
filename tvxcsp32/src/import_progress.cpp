// The import progress window (Qt): a modal bar without a cancel button, opened only when a
// display can be reached, so that an import without one never fails for the window.
#include "import_progress.h"

#include "provider_messages.h"
#include "ui/qt_host.h"

#include <QApplication>
#include <QProgressDialog>

namespace tvx {

struct ImportProgress::Window {
    vantor::ui::ApplicationScope app;
    std::unique_ptr<QProgressDialog> dialog;
};

ImportProgress::ImportProgress() = default;

ImportProgress::~ImportProgress() {
    if (window_ && window_->dialog) {
        window_->dialog->close();
    }
}

PropagationProgress ImportProgress::callbacks() {
    PropagationProgress progress;
    progress.start = [this](std::size_t total) {
        if (total < kProgressThreshold || !vantor::ui::displayAvailable()) {
            return;
        }
        window_ = std::make_unique<Window>();
        if (!window_->app.ok()) {
            window_.reset();
            return;
        }
        auto dialog = std::make_unique<QProgressDialog>();
        dialog->setObjectName("importProgress");
        dialog->setWindowTitle(QString::fromStdString(providerMessage(MSG_CAPTION)));
        dialog->setLabelText(QString::fromStdString(providerMessage(MSG_WAIT)));
        dialog->setCancelButton(nullptr);  // the import runs to its end once started
        dialog->setRange(0, static_cast<int>(total));
        dialog->setMinimumDuration(0);
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->setValue(0);
        dialog->show();
        QApplication::processEvents();
        window_->dialog = std::move(dialog);
    };
    progress.step = [this](std::size_t done) {
        if (window_ && window_->dialog) {
            // A modal progress dialog handles pending events in setValue, keeping it painted.
            window_->dialog->setValue(static_cast<int>(done));
        }
    };
    return progress;
}

}  // namespace tvx
