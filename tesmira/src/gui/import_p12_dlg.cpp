// The PKCS#12 import dialog's layout, default labels, file browsing and OK checks.
#include "import_p12_dlg.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <random>

#include "localize_form.h"
#include "messages.h"
#include "program_state.h"
#include "ui/qt_host.h"
#include "win/winuser.h"

namespace tesmira {

namespace {

constexpr const char* kBoxTitle = "Tesmira";

ImportP12Dlg::FileChooser& ChooserSlot() {
    static ImportP12Dlg::FileChooser chooser;
    return chooser;
}

std::optional<QString> AskForFile(QWidget* owner, const QString& filter) {
    if (ChooserSlot()) {
        return ChooserSlot()(owner, filter);
    }
    const QString chosen = QFileDialog::getOpenFileName(owner, QString(), QString(), filter);
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return chosen;
}

QLineEdit* Field(QWidget* parent, const char* name, bool secret) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setMinimumWidth(220);
    if (secret) {
        field->setEchoMode(QLineEdit::Password);
    }
    return field;
}

QLabel* Caption(QWidget* parent, const char* name, int tag, QLineEdit* buddy) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setProperty("tag", tag);
    label->setBuddy(buddy);
    return label;
}

// A label the user left empty: "Obj_" and a number from 0 to 254.
QString RandomLabel() {
    static std::mt19937 engine{std::random_device{}()};
    std::uniform_int_distribution<int> number(0, 254);
    return QString("Obj_%1").arg(number(engine));
}

}  // namespace

QString QtFileFilter(const std::string& windowsFilter) {
    const QStringList parts = QString::fromStdString(windowsFilter).split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
        // "*.*" means every file on Windows; here that is "*", as names need no dot.
        patterns.replace("*.*", "*");
        QString description = parts[i];
        const qsizetype open = description.indexOf('(');
        if (open >= 0) {
            description = description.left(open).trimmed();
        }
        filters << QString("%1 (%2)").arg(description, patterns);
    }
    return filters.join(";;");
}

void ImportP12Dlg::setFileChooser(FileChooser chooser) {
    ChooserSlot() = std::move(chooser);
}

ImportP12Dlg::ImportP12Dlg(QWidget* owner) : QDialog(owner) {
    setObjectName("ImportP12Dlg");
    setModal(true);
    setProperty("tag", 1045);
    if (owner != nullptr) {
        setWindowIcon(owner->window()->windowIcon());
    }
    auto* outer = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    ckaIDEdt = Field(this, "ckaIDEdt", false);
    p12FileEdt = Field(this, "p12FileEdt", false);
    p12PassEdt = Field(this, "p12PassEdt", true);
    PinEdt = Field(this, "PinEdt", true);
    browse_ = new QPushButton("...", this);
    browse_->setObjectName("browseButton");
    browse_->setMaximumWidth(32);
    grid->addWidget(Caption(this, "ckaIDLabel", 1048, ckaIDEdt), 0, 0);
    grid->addWidget(ckaIDEdt, 0, 1);
    // The required fields carry a star, explained by the note below them.
    grid->addWidget(Caption(this, "p12FileLabel", 1043, p12FileEdt), 1, 0);
    grid->addWidget(p12FileEdt, 1, 1);
    grid->addWidget(browse_, 1, 2);
    grid->addWidget(new QLabel("*", this), 1, 3);
    grid->addWidget(Caption(this, "p12PassLabel", 1044, p12PassEdt), 2, 0);
    grid->addWidget(p12PassEdt, 2, 1);
    grid->addWidget(Caption(this, "PinLabel", 1046, PinEdt), 3, 0);
    grid->addWidget(PinEdt, 3, 1);
    grid->addWidget(new QLabel("*", this), 3, 3);
    grid->setColumnStretch(1, 1);
    outer->addLayout(grid);
    auto* note = new QLabel(this);
    note->setObjectName("requiredNote");
    note->setProperty("tag", 1054);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(new QLabel("*", this));
    buttons->addWidget(note);
    buttons->addStretch(1);
    ok_ = new QPushButton(this);
    ok_->setObjectName("okButton");
    ok_->setProperty("tag", 1002);
    ok_->setDefault(true);
    cancel_ = new QPushButton(this);
    cancel_->setObjectName("cancelButton");
    cancel_->setProperty("tag", 1030);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    outer->addLayout(buttons);

    OkPressed = false;
    LocalizeForm(this);
    ckaIDEdt->setText(QString("Obj_%1").arg(NextObjectNumber));
    ++NextObjectNumber;

    connect(browse_, &QPushButton::clicked, this, &ImportP12Dlg::onBrowse);
    connect(ok_, &QPushButton::clicked, this, &ImportP12Dlg::onOk);
    connect(cancel_, &QPushButton::clicked, this, &ImportP12Dlg::onCancel);
}

void ImportP12Dlg::onBrowse() {
    const std::optional<QString> chosen = AskForFile(this, QtFileFilter(kP12FileFilter));
    if (chosen) {
        p12FileEdt->setText(*chosen);
    }
}

void ImportP12Dlg::onOk() {
    if (PinEdt->text().isEmpty() || p12FileEdt->text().isEmpty()) {
        const std::string text = LoadMessage(1108);
        MessageBoxA(vantor::ui::hwndFromWidget(this), text.c_str(), kBoxTitle, MB_ICONWARNING);
        return;
    }
    if (ckaIDEdt->text().isEmpty()) {
        ckaIDEdt->setText(RandomLabel());
    }
    OkPressed = true;
    hide();
}

void ImportP12Dlg::onCancel() {
    OkPressed = false;
    hide();
}

}  // namespace tesmira
