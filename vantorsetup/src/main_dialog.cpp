// The main dialog: the two options with texts from the message table, Continue and Exit.
#include "main_dialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>

#include "certificate_dialog.h"
#include "certificate_import.h"
#include "setup_messages.h"
#include "smart_logon_setup.h"
#include "ui/qt_host.h"
#include "win/winuser.h"

// The artwork is compiled into the dialogs' static library, so its resources are registered by
// hand before the first use.
static void initArtwork() {
    Q_INIT_RESOURCE(vantorsetup_artwork);
}

namespace vantorsetup {

namespace {

QString text(DWORD id) {
    return QString::fromStdString(setupMessage(id));
}

// A click on an option's text checks its radio button, as on a multi-line radio button.
class ClickToCheck final : public QObject {
  public:
    ClickToCheck(QLabel* label, QRadioButton* radio) : QObject(label), radio_(radio) {
        label->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            radio_->click();
            return true;
        }
        return false;
    }

  private:
    QRadioButton* radio_;
};

}  // namespace

QIcon programIcon() {
    initArtwork();
    QIcon icon;
    icon.addFile(":/vantorsetup/vantorsetup.png", QSize(48, 48));
    icon.addFile(":/vantorsetup/vantorsetup-16.png", QSize(16, 16));
    return icon;
}

MainDialog::MainDialog(QWidget* owner) : QDialog(owner) {
    setObjectName("vantorSetupDialog");
    setWindowTitle("Vantor CSP2");
    setWindowIcon(programIcon());
    // Shown in the task bar like a main window, with no help button.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    group_ = new QButtonGroup(this);
    auto* options = new QGridLayout;
    options->setColumnStretch(1, 1);
    import_ = addOption(importText_, "control1003");
    smartLogon_ = addOption(smartLogonText_, "control1004");
    int row = 0;
    for (auto [radio, label] :
         {std::pair{import_, importText_}, std::pair{smartLogon_, smartLogonText_}}) {
        options->addWidget(radio, row, 0, Qt::AlignTop);
        options->addWidget(label, row, 1);
        ++row;
    }

    continue_ = new QPushButton(this);
    continue_->setObjectName("control1002");
    continue_->setDefault(true);
    exit_ = new QPushButton(this);
    exit_->setObjectName("control2");
    exit_->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(continue_);
    buttons->addWidget(exit_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(options);
    layout->addStretch(1);
    layout->addLayout(buttons);
    setMinimumWidth(360);

    // The texts of the template are placeholders; the message table gives the real ones.
    importText_->setText(text(MSG_IMPORT_OPTION));
    smartLogonText_->setText(text(MSG_SMART_LOGON_OPTION));
    continue_->setText(text(MSG_CONTINUE));
    exit_->setText(text(MSG_EXIT));
    import_->setChecked(true);

    connect(continue_, &QPushButton::clicked, this, &MainDialog::onContinue);
    connect(exit_, &QPushButton::clicked, this, [this] { done(kExitCode); });

    // Centred on the screen (the dialog has no owner window when the program starts).
    adjustSize();
    if (owner == nullptr) {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
}

QRadioButton* MainDialog::addOption(QLabel*& label, const char* name) {
    auto* radio = new QRadioButton(this);
    radio->setObjectName(name);
    label = new QLabel(this);
    label->setObjectName(QString(name) + "Text");
    label->setWordWrap(true);
    label->setBuddy(radio);
    new ClickToCheck(label, radio);
    group_->addButton(radio);
    return radio;
}

void MainDialog::reject() {
    done(kExitCode);
}

void MainDialog::onContinue() {
    if (import_->isChecked()) {
        runImport();
    } else {
        runSmartLogonChoice();
    }
}

void MainDialog::runImport() {
    continue_->setEnabled(false);
    if (!importCertificates(vantor::ui::hwndFromWidget(this))) {
        MessageBoxA(nullptr, setupMessage(MSG_LOAD_ERROR).c_str(), kBoxCaption, MB_OK);
    }
    continue_->setEnabled(true);
}

void MainDialog::runSmartLogonChoice() {
    const HWND self = vantor::ui::hwndFromWidget(this);
    const CertificateList certs = smartLogonCertificates();
    if (certs.empty()) {
        MessageBoxA(self, setupMessage(MSG_NO_CERTIFICATE).c_str(), kBoxCaption,
                    MB_OK | MB_ICONINFORMATION);
        return;
    }
    CertificateDialog dialog(certs, this);
    if (dialog.exec() != QDialog::Accepted || dialog.chosen() == nullptr) {
        return;
    }
    const DWORD error = markForSmartLogon(dialog.chosen());
    if (error == 0) {
        MessageBoxA(self, setupMessage(MSG_SETUP_DONE).c_str(), kBoxCaption,
                    MB_OK | MB_ICONINFORMATION);
    } else {
        MessageBoxA(self, setupFailedMessage(error).c_str(), kBoxCaption, MB_OK | MB_ICONWARNING);
    }
}

}  // namespace vantorsetup
