// The certificate list of the card in use: one row per certificate with its subject name and
// icon; a double-click opens the certificate viewer.
#pragma once

#include <QDialog>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tesmira {

class Certificates;
class SmartCardCertificate;

class CertListDialog final : public QDialog {
    Q_OBJECT

  public:
    explicit CertListDialog(QWidget* owner);

    // Fills the list from the collection, in its order. The collection must outlive the
    // dialog.
    void Init(Certificates& certs);

    QTreeWidget* list() const { return list_; }
    // The entry a row carries.
    static SmartCardCertificate* EntryOf(const QTreeWidgetItem* row);

  private:
    void onDoubleClick(QTreeWidgetItem* row);

    Certificates* certs_ = nullptr;
    QTreeWidget* list_ = nullptr;
    QPushButton* close_ = nullptr;
};

}  // namespace tesmira
