// The setup program's main dialog: import the token's certificates, or choose the smart-logon
// certificate; Continue runs the chosen task, Exit ends the dialog with 2.
#pragma once

#include <QDialog>
#include <QIcon>

class QButtonGroup;
class QLabel;
class QPushButton;
class QRadioButton;

namespace vantorsetup {

class MainDialog final : public QDialog {
    Q_OBJECT

  public:
    // The result of Exit, of the close box and of Escape.
    static constexpr int kExitCode = 2;

    explicit MainDialog(QWidget* owner = nullptr);

    QRadioButton* importOption() const { return import_; }
    QRadioButton* smartLogonOption() const { return smartLogon_; }
    // The option texts (the radio buttons' labels, which wrap).
    QLabel* importText() const { return importText_; }
    QLabel* smartLogonText() const { return smartLogonText_; }
    QPushButton* continueButton() const { return continue_; }
    QPushButton* exitButton() const { return exit_; }

  public Q_SLOTS:
    // The close box and Escape end the dialog as Exit does.
    void reject() override;

  private:
    void onContinue();
    void runImport();
    void runSmartLogonChoice();
    QRadioButton* addOption(QLabel*& label, const char* name);

    QButtonGroup* group_ = nullptr;
    QRadioButton* import_ = nullptr;
    QRadioButton* smartLogon_ = nullptr;
    QLabel* importText_ = nullptr;
    QLabel* smartLogonText_ = nullptr;
    QPushButton* continue_ = nullptr;
    QPushButton* exit_ = nullptr;
};

// The icon of the program (icon 129), in its large and small sizes.
QIcon programIcon();

}  // namespace vantorsetup
