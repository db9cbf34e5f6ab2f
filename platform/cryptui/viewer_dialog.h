// The certificate viewer window: general, details and certification path tabs.
#pragma once

#include <QDialog>
#include <vector>

#include "crypt32/cert_details.h"

class QTabWidget;
class QTreeWidget;
class QPlainTextEdit;

namespace vantor::cryptui {

class ViewerDialog final : public QDialog {
  public:
    // der: the certificate; hasPrivateKey: whether the user's stores bind a key to it.
    ViewerDialog(const std::vector<BYTE>& der, const crypt32::CertificateText& text,
                 bool hasPrivateKey, const QString& title, QWidget* parent = nullptr);

    void showPage(int page);

  private:
    QWidget* generalPage(const crypt32::CertificateText& text, bool hasPrivateKey);
    QWidget* detailsPage(const crypt32::CertificateText& text);
    QWidget* pathPage(const std::vector<BYTE>& der);

    QTabWidget* tabs_ = nullptr;
    QTreeWidget* fields_ = nullptr;
    QPlainTextEdit* fieldValue_ = nullptr;
};

}  // namespace vantor::cryptui
