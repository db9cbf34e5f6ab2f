// The certificate dialog: the smart-logon certificates in a one-column list, OK, Show and Cancel.
#pragma once

#include <QDialog>

#include "smart_logon_setup.h"

class QPushButton;
class QTableWidget;

namespace vantorsetup {

class CertificateDialog final : public QDialog {
    Q_OBJECT

  public:
    // The list must outlive the dialog; its contexts stay owned by it.
    CertificateDialog(const CertificateList& certs, QWidget* owner);

    // The certificate chosen with OK; null before that.
    PCCERT_CONTEXT chosen() const { return chosen_; }

    QTableWidget* list() const { return list_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* showButton() const { return show_; }
    QPushButton* cancelButton() const { return cancel_; }

  public Q_SLOTS:
    // OK: remembers the selected certificate and closes; without a selection asks for one and
    // stays open.
    void accept() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    PCCERT_CONTEXT selected() const;
    void updateButtons();
    void showSelected();

    const CertificateList& certs_;
    PCCERT_CONTEXT chosen_ = nullptr;
    QTableWidget* list_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* show_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// Shows a certificate in the system's certificate viewer ("cryptui.dll", loaded for this one
// use). False when the viewer cannot be loaded or shown.
bool viewCertificate(PCCERT_CONTEXT cert);

}  // namespace vantorsetup
