// The main window: form layout, window states, polling control, result reporting and shutdown.
#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include "cert_list_dialog.h"
#include "import_p12_dlg.h"
#include "localize_form.h"
#include "messages.h"
#include "results.h"
#include "runtime_error.h"
#include "settings_store.h"
#include "ui/qt_host.h"
#include "win/shellapi.h"
#include "win/winuser.h"
#include "window_placement.h"

// The artwork is compiled into this static library, so its resources are registered by hand.
static void InitArtwork() {
    Q_INIT_RESOURCE(artwork);
}

namespace tesmira {

namespace {

// The title of the manager's message boxes (the program's name, as a box without a caption of
// its own would show).
constexpr const char* kBoxTitle = "Tesmira";

void SetTag(QObject* object, long tag) {
    object->setProperty("tag", QVariant::fromValue(static_cast<qlonglong>(tag)));
}

QRadioButton* Option(QWidget* parent, const char* name, long tag) {
    auto* option = new QRadioButton(parent);
    option->setObjectName(name);
    SetTag(option, tag);
    return option;
}

}  // namespace

MainWindow::MainWindow(CardoloLibrary& cardolo, const AtrTable& atrTable, SettingsStore& settings,
                       Pkcs11LibFactory createLib)
    : settings_(settings), watch_(cardolo, atrTable, *this, std::move(createLib)) {
    watch_.setPinDialogs(&pinDialogs_);
    InitArtwork();
    watch_.loading = true;
    watch_.busy = false;
    buildForm();
    LocalizeForm(this);
    PlaceWindowFromSettings(this, settings_);
    statusBar()
        ->findChild<QLabel*>("statusPanel")
        ->setText(QString::fromStdString(LoadMessage(1005)));

    timer_.setObjectName("ReaderTimer");
    connect(&timer_, &QTimer::timeout, this, [this] { watch_.Tick(); });

    ShowNoCard();
    watch_.Tick();
    watch_.loading = false;
    setupLaunchFailed_ = false;
    ResumePolling();
}

MainWindow::~MainWindow() {
    timer_.stop();
}

void MainWindow::buildForm() {
    setObjectName("frmMain");
    SetTag(this, 1005);
    setWindowIcon(QIcon(":/tesmira/tesmira.png"));

    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto* outer = new QHBoxLayout(central);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(12);

    banner_ = new QLabel(central);
    banner_->setObjectName("leftPicture");
    banner_->setPixmap(QPixmap(":/tesmira/banner.png"));
    banner_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    banner_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    banner_->setStyleSheet("background-color: #173a66;");
    outer->addWidget(banner_);
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 8, 10, 8);
    outer->addLayout(grid, 1);

    // The card panel: both reader pictures share one place, one of them visible at a time.
    auto* cardBox = new QGroupBox(central);
    cardBox->setObjectName("cardFrame");
    SetTag(cardBox, 1007);
    auto* cardLayout = new QHBoxLayout(cardBox);
    auto* pictures = new QGridLayout;
    emptyReaderPicture_ = new QLabel(cardBox);
    emptyReaderPicture_->setObjectName("emptyReaderPicture");
    emptyReaderPicture_->setPixmap(QPixmap(":/tesmira/reader-empty.png"));
    cardReaderPicture_ = new QLabel(cardBox);
    cardReaderPicture_->setObjectName("cardReaderPicture");
    cardReaderPicture_->setPixmap(QPixmap(":/tesmira/reader-card.png"));
    pictures->addWidget(emptyReaderPicture_, 0, 0);
    pictures->addWidget(cardReaderPicture_, 0, 0);
    cardLayout->addLayout(pictures);
    cardLabel_ = new QLabel(cardBox);
    cardLabel_->setObjectName("cardLabel");
    cardLabel_->setWordWrap(true);
    cardLabel_->setMinimumWidth(300);
    cardLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    cardLayout->addWidget(cardLabel_, 1);
    grid->addWidget(cardBox, 0, 0, 1, 2);

    auto* pinBox = new QGroupBox(central);
    pinBox->setObjectName("pinFrame");
    SetTag(pinBox, 1008);
    auto* pinLayout = new QVBoxLayout(pinBox);
    pinOptions_ = {Option(pinBox, "pinOption0", 1012), Option(pinBox, "pinOption1", 1013),
                   Option(pinBox, "pinOption2", 1014)};
    for (QRadioButton* option : pinOptions_) {
        pinLayout->addWidget(option);
    }
    pinLayout->addStretch(1);
    pinNext_ = new QPushButton(pinBox);
    pinNext_->setObjectName("pinNext");
    SetTag(pinNext_, 1011);
    pinLayout->addWidget(pinNext_, 0, Qt::AlignRight);
    grid->addWidget(pinBox, 1, 0);

    auto* otherBox = new QGroupBox(central);
    otherBox->setObjectName("otherFrame");
    SetTag(otherBox, 1010);
    auto* otherLayout = new QVBoxLayout(otherBox);
    otherOptions_ = {Option(otherBox, "otherOption0", 1017), Option(otherBox, "otherOption1", 1018),
                     Option(otherBox, "otherOption2", 1019),
                     Option(otherBox, "otherOption3", 1047)};
    for (QRadioButton* option : otherOptions_) {
        otherLayout->addWidget(option);
    }
    otherLayout->addStretch(1);
    otherNext_ = new QPushButton(otherBox);
    otherNext_->setObjectName("otherNext");
    SetTag(otherNext_, 1011);
    otherLayout->addWidget(otherNext_, 0, Qt::AlignRight);
    grid->addWidget(otherBox, 1, 1);

    exit_ = new QPushButton(central);
    exit_->setObjectName("exitButton");
    SetTag(exit_, 1015);
    exit_->setMinimumWidth(100);
    grid->addWidget(exit_, 2, 1, Qt::AlignRight);
    // The panels take the height the left-hand picture gives the window.
    grid->setRowStretch(1, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    auto* panel = new QLabel(statusBar());
    panel->setObjectName("statusPanel");
    statusBar()->addWidget(panel, 1);
    statusBar()->setSizeGripEnabled(false);

    connect(pinNext_, &QPushButton::clicked, this, &MainWindow::onPinNext);
    connect(otherNext_, &QPushButton::clicked, this, &MainWindow::onOtherNext);
    connect(exit_, &QPushButton::clicked, this, &QWidget::close);
}

void MainWindow::SuspendPolling() {
    watch_.busy = true;
    timer_.stop();
}

void MainWindow::ResumePolling() {
    timer_.setInterval(kPollingIntervalMs);
    timer_.start();
    watch_.busy = false;
}

void MainWindow::ShowNoCard() {
    cardLabel_->setText(QString::fromStdString(LoadMessage(1016)));
    emptyReaderPicture_->setVisible(true);
    cardReaderPicture_->setVisible(false);
    pinNext_->setEnabled(false);
    otherNext_->setEnabled(false);
    for (QRadioButton* option : pinOptions_) {
        option->setEnabled(false);
    }
    for (QRadioButton* option : otherOptions_) {
        option->setEnabled(false);
    }
}

void MainWindow::ShowCard() {
    SmartCardCls& card = watch_.card();
    // CR LF as the summary holds it is one line break on screen.
    cardLabel_->setText(QString::fromStdString(card.ShortInfos()).replace("\r\n", "\n"));
    cardReaderPicture_->setVisible(true);
    emptyReaderPicture_->setVisible(false);

    // Highest option first, each selected when enabled, so the lowest enabled one stays chosen.
    const bool pinEnabled[3] = {card.CanChangePIN(), card.CanUnblockPIN(), card.CanChangePUK()};
    bool anyPin = false;
    for (int i = 2; i >= 0; --i) {
        pinOptions_[i]->setEnabled(pinEnabled[i]);
        if (pinEnabled[i]) {
            pinOptions_[i]->setChecked(true);
            anyPin = true;
        }
    }
    pinNext_->setEnabled(anyPin);

    const bool otherEnabled[4] = {card.CanReadContents(), card.CanReadDetailedInfos(),
                                  !setupLaunchFailed_, true};
    bool anyOther = false;
    for (int i = 3; i >= 0; --i) {
        otherOptions_[i]->setEnabled(otherEnabled[i]);
        if (otherEnabled[i]) {
            otherOptions_[i]->setChecked(true);
            anyOther = true;
        }
    }
    otherNext_->setEnabled(anyOther);
}

void MainWindow::SetWaitCursor(bool on) {
    if (on) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

bool MainWindow::AskInitializePin() {
    const std::string text = LoadMessage(1106);
    return MessageBoxA(vantor::ui::hwndFromWidget(this), text.c_str(), kBoxTitle,
                       MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void MainWindow::runAndReport(const std::function<void(std::int32_t*)>& operation,
                              int operationCode, bool successText) {
    std::int32_t result = 0;
    std::string raised;
    bool failed = false;
    try {
        operation(&result);
    } catch (const RuntimeError& e) {
        failed = true;
        raised = e.what();
    } catch (const std::exception& e) {
        failed = true;
        raised = e.what();
    }
    const HWND owner = vantor::ui::hwndFromWidget(this);
    if (failed) {
        const std::string text = LoadMessage(1103) + "\r\n" + raised;
        MessageBoxA(owner, text.c_str(), kBoxTitle, MB_ICONWARNING);
    } else if (result != kResultOk && result != kResultCancelled) {
        const std::string text = ErrorText(result, operationCode);
        MessageBoxA(owner, text.c_str(), kBoxTitle, MB_ICONWARNING);
    } else if (result == kResultOk && successText) {
        const std::string text = LoadMessage(1105);
        MessageBoxA(owner, text.c_str(), kBoxTitle, MB_ICONINFORMATION);
    }
}

void MainWindow::onPinNext() {
    SuspendPolling();
    SmartCardCls& card = watch_.card();
    int operation = OP_CHANGE_PIN;
    std::function<void(std::int32_t*)> run = [&card](std::int32_t* r) { card.ChangePIN(r); };
    if (pinOptions_[1]->isChecked()) {
        operation = OP_UNBLOCK_PIN;
        run = [&card](std::int32_t* r) { card.UnblockPIN(r); };
    } else if (pinOptions_[2]->isChecked()) {
        operation = OP_CHANGE_PUK;
        run = [&card](std::int32_t* r) { card.ChangePUK(r); };
    }
    runAndReport(
        [this, &run](std::int32_t* r) {
            SetWaitCursor(true);
            try {
                run(r);
            } catch (...) {
                SetWaitCursor(false);
                throw;
            }
            SetWaitCursor(false);
        },
        operation, true);
    ResumePolling();
}

void MainWindow::onOtherNext() {
    bool valid = false;
    try {
        valid = watch_.card().Valid();
    } catch (const RuntimeError&) {
    }
    if (!valid) {
        return;
    }
    SuspendPolling();
    SmartCardCls& card = watch_.card();
    if (otherOptions_[3]->isChecked()) {
        runAndReport([this, &card](std::int32_t* r) { ImportP12(card, r); }, OP_IMPORT_P12, true);
    } else if (otherOptions_[1]->isChecked()) {
        runAndReport([&card](std::int32_t* r) { card.ShowDetailedInfos(r); }, 0, false);
    } else if (otherOptions_[2]->isChecked()) {
        LaunchSetup();
    } else {
        ShowContents(card);
    }
    ResumePolling();
}

void MainWindow::ShowContents(SmartCardCls& card) {
    SetWaitCursor(true);
    CertListDialog dialog(this);
    dialog.Init(card.Certificates());
    SetWaitCursor(false);
    dialog.exec();
}

void MainWindow::LaunchSetup() {
    const HINSTANCE started = ShellExecuteA(vantor::ui::hwndFromWidget(this), "open",
                                            "VantorSetup.exe", nullptr, nullptr, 0);
    if (reinterpret_cast<std::intptr_t>(started) > 32) {
        return;
    }
    // The option stays disabled until the program starts again.
    setupLaunchFailed_ = true;
    ShowNoCard();
    ShowCard();
    const std::string text = LoadMessage(1103);
    MessageBoxA(vantor::ui::hwndFromWidget(this), text.c_str(), kBoxTitle, MB_ICONWARNING);
}

void MainWindow::ImportP12(SmartCardCls& card, std::int32_t* result) {
    SetWaitCursor(true);
    ImportP12Dlg dialog(this);
    dialog.exec();
    QCoreApplication::processEvents();
    // A dialog closed without OK imports nothing and reports nothing.
    *result = kResultCancelled;
    if (dialog.OkPressed) {
        const std::string label = dialog.ckaIDEdt->text().toStdString();
        const SecretText pin(dialog.PinEdt->text().toStdString());
        const SecretText password(dialog.p12PassEdt->text().toStdString());
        card.ImportP12(label, label, pin, dialog.p12FileEdt->text().toStdString(), password,
                       result);
    }
    SetWaitCursor(false);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    timer_.stop();
    // Every other open window of the program closes first, the most recent first.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if (*it != this && (*it)->isVisible()) {
            (*it)->close();
        }
    }
    SaveWindowPlacement(this, settings_);
    watch_.ReplaceCard();
    event->accept();
}

}  // namespace tesmira
