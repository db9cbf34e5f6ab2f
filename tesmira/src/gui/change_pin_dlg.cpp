// The PIN entry dialogs: layout, mode captions, the OK button's checks and the modal run.
#include "change_pin_dlg.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "localize_form.h"
#include "ui/qt_host.h"
#include "win/winuser.h"

namespace tesmira {

namespace {

constexpr const char* kBoxTitle = "Tesmira";

QLineEdit* SecretField(QWidget* parent, const char* name) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setEchoMode(QLineEdit::Password);
    // No input mask or validator: the card decides which characters a PIN may hold.
    return field;
}

QLabel* FieldLabel(QWidget* parent, const char* name, QLineEdit* buddy) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setBuddy(buddy);
    return label;
}

}  // namespace

ChangePinDlg::ChangePinDlg(QWidget* owner, bool withOptions) : QDialog(owner) {
    setObjectName(withOptions ? "ChangePinDlg2" : "ChangePinDlg");
    setModal(true);
    if (owner != nullptr) {
        setWindowIcon(owner->window()->windowIcon());
    }
    auto* outer = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    oldPin_ = SecretField(this, "oldPin");
    newPin1_ = SecretField(this, "newPin1");
    newPin2_ = SecretField(this, "newPin2");
    oldPinLabel_ = FieldLabel(this, "oldPinLabel", oldPin_);
    newPin1Label_ = FieldLabel(this, "NewPin1Label", newPin1_);
    newPin2Label_ = FieldLabel(this, "NewPin2Label", newPin2_);
    grid->addWidget(oldPinLabel_, 0, 0);
    grid->addWidget(oldPin_, 0, 1);
    grid->addWidget(newPin1Label_, 1, 0);
    grid->addWidget(newPin1_, 1, 1);
    grid->addWidget(newPin2Label_, 2, 0);
    grid->addWidget(newPin2_, 2, 1);
    grid->setColumnStretch(1, 1);
    for (QLineEdit* field : {oldPin_, newPin1_, newPin2_}) {
        field->setMinimumWidth(160);
    }
    if (withOptions) {
        auto* row = new QHBoxLayout;
        for (int i = 0; i < 2; ++i) {
            options_[i] = new QRadioButton(this);
            options_[i]->setObjectName(QString("PinTypeOption%1").arg(i));
            row->addWidget(options_[i]);
        }
        row->addStretch(1);
        outer->addLayout(row);
    }
    outer->addLayout(grid);

    auto* buttons = new QHBoxLayout;
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

    connect(ok_, &QPushButton::clicked, this, [this] { onOk(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
}

void ChangePinDlg::ApplyCaptions() {
    LocalizeForm(this);
    const PinDialogCaptions c = form.ApplyCaptions();
    oldPinLabel_->setText(QString::fromStdString(c.oldPinLabel));
    newPin1Label_->setText(QString::fromStdString(c.newPin1Label));
    newPin2Label_->setText(QString::fromStdString(c.newPin2Label));
    setWindowTitle(QString::fromStdString(c.caption));
    if (options_[0] != nullptr) {
        options_[0]->setText(QString::fromStdString(c.option0));
        options_[1]->setText(QString::fromStdString(c.option1));
        options_[0]->setChecked(true);
    }
    adjustSize();
}

void ChangePinDlg::showEvent(QShowEvent* event) {
    // The caller sets the mode between creating and showing, so the captions follow it; they
    // are applied once, as the form loads.
    if (!loaded_) {
        loaded_ = true;
        ApplyCaptions();
        oldPin_->setFocus();
    }
    QDialog::showEvent(event);
}

void ChangePinDlg::clearFields() {
    for (QLineEdit* field : {oldPin_, newPin1_, newPin2_}) {
        field->clear();
    }
}

void ChangePinDlg::onOk() {
    const bool signature = options_[1] != nullptr && options_[1]->isChecked();
    const PinValidation v =
        form.Validate(oldPin_->text().toStdString(), newPin1_->text().toStdString(),
                      newPin2_->text().toStdString(), signature);
    if (v.accepted) {
        accept();
        return;
    }
    if (v.clearOldPin) {
        oldPin_->clear();
    }
    MessageBoxA(vantor::ui::hwndFromWidget(this), v.message.c_str(), kBoxTitle, MB_ICONWARNING);
    switch (v.focus) {
        case PinField::OldPin:
            oldPin_->setFocus();
            break;
        case PinField::NewPin1:
            newPin1_->setFocus();
            break;
        case PinField::NewPin2:
            newPin2_->setFocus();
            break;
        case PinField::None:
            break;
    }
}

void ChangePinDlg::reject() {
    form.Cancel();
    QDialog::reject();
}

PinDialogAnswer QtPinDialogs::Run(PinDialogKind kind, PinDialogMode mode) {
    std::unique_ptr<ChangePinDlg> dialog;
    if (kind == PinDialogKind::WithSignatureOption) {
        dialog = std::make_unique<ChangePinDlg2>(owner_);
    } else {
        dialog = std::make_unique<ChangePinDlg>(owner_);
    }
    dialog->form.setMode(mode);
    // The window shows the wait cursor while an operation runs; the user types with the
    // ordinary one.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    dialog->exec();
    QApplication::restoreOverrideCursor();
    QCoreApplication::processEvents();

    PinDialogAnswer answer;
    answer.okPressed = dialog->form.OkPressed;
    if (answer.okPressed) {
        answer.first = SecretText(dialog->oldPin()->text().toStdString());
        answer.newPin = SecretText(dialog->newPin1()->text().toStdString());
        answer.changingDS = dialog->form.ChangingDS;
    }
    dialog->clearFields();
    return answer;
}

void QtPinDialogs::Notify(const std::string& text, bool warning) {
    MessageBoxA(vantor::ui::hwndFromWidget(owner_), text.c_str(), kBoxTitle,
                warning ? MB_ICONWARNING : MB_ICONINFORMATION);
}

}  // namespace tesmira
