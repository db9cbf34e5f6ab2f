// The PIN entry dialogs (ChangePinDlg with three fields, ChangePinDlg2 adding the main or
// strong-signature choice) and the window's PinDialogs built on them.
#pragma once

#include <QDialog>
#include <array>

#include "pin_dialogs.h"
#include "pin_entry.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tesmira {

class ChangePinDlg : public QDialog {
    Q_OBJECT

  public:
    explicit ChangePinDlg(QWidget* owner = nullptr) : ChangePinDlg(owner, false) {}

    // The mode and the results: set the mode before showing, read OkPressed and the fields
    // after.
    PinEntryForm form;

    // Runs when the dialog loads: localises the buttons and applies the mode's captions.
    void ApplyCaptions();

    QLineEdit* oldPin() const { return oldPin_; }
    QLineEdit* newPin1() const { return newPin1_; }
    QLineEdit* newPin2() const { return newPin2_; }

    // Empties the three fields, so no PIN stays in the dialog's memory longer than needed.
    void clearFields();

  protected:
    ChangePinDlg(QWidget* owner, bool withOptions);
    void showEvent(QShowEvent* event) override;
    void reject() override;

  private:
    void onOk();

    QLabel* oldPinLabel_ = nullptr;
    QLabel* newPin1Label_ = nullptr;
    QLabel* newPin2Label_ = nullptr;
    QLineEdit* oldPin_ = nullptr;
    QLineEdit* newPin1_ = nullptr;
    QLineEdit* newPin2_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    std::array<QRadioButton*, 2> options_{};
    bool loaded_ = false;

    friend class ChangePinDlg2;
};

class ChangePinDlg2 final : public ChangePinDlg {
    Q_OBJECT

  public:
    explicit ChangePinDlg2(QWidget* owner = nullptr) : ChangePinDlg(owner, true) {}
    QRadioButton* PinTypeOption(int index) const { return options_.at(index); }
};

// The window's dialogs: a fresh dialog per workflow, owned by the main window's form, and
// message boxes through MessageBoxA.
class QtPinDialogs final : public PinDialogs {
  public:
    explicit QtPinDialogs(QWidget* owner) : owner_(owner) {}
    PinDialogAnswer Run(PinDialogKind kind, PinDialogMode mode) override;
    void Notify(const std::string& text, bool warning) override;

  private:
    QWidget* owner_;
};

}  // namespace tesmira
