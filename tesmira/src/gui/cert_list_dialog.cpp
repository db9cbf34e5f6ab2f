// The certificate list dialog: the list view, its icon (image 102 of the image list) and the
// viewer on double-click.
#include "cert_list_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "certificates.h"
#include "localize_form.h"
#include "messages.h"

namespace tesmira {

namespace {

// Bitmap 102: a certificate sheet with its seal, drawn once at the size of the list's icons.
QPixmap CertificateBitmap() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(70, 90, 120), 1.5));
    painter.setBrush(QColor(250, 250, 240));
    painter.drawRect(QRectF(4.5, 3.5, 22, 25));
    painter.setPen(QPen(QColor(120, 130, 150), 1.5));
    for (int y = 9; y <= 17; y += 4) {
        painter.drawLine(QPointF(8, y), QPointF(23, y));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(200, 40, 40));
    painter.drawEllipse(QPointF(20, 23), 5, 5);
    painter.setBrush(QColor(240, 200, 60));
    painter.drawEllipse(QPointF(20, 23), 2.5, 2.5);
    return pixmap;
}

constexpr int kEntryRole = Qt::UserRole + 1;

}  // namespace

CertListDialog::CertListDialog(QWidget* owner) : QDialog(owner) {
    setObjectName("CertListDialog");
    setModal(true);
    setProperty("tag", 1041);
    if (owner != nullptr) {
        setWindowIcon(owner->window()->windowIcon());
    }
    auto* layout = new QVBoxLayout(this);
    list_ = new QTreeWidget(this);
    list_->setObjectName("CertList");
    list_->setColumnCount(1);
    list_->setRootIsDecorated(false);
    list_->setIconSize(QSize(32, 32));
    list_->setMinimumSize(420, 220);
    // The header's text is message 1053, written in by the localisation below.
    list_->headerItem()->setData(0, Qt::UserRole, 1053);
    layout->addWidget(list_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    close_ = new QPushButton(this);
    close_->setObjectName("closeButton");
    close_->setProperty("tag", 1042);
    buttons->addWidget(close_);
    layout->addLayout(buttons);

    LocalizeForm(this);
    list_->headerItem()->setText(0, QString::fromStdString(LoadMessage(1053)));
    connect(close_, &QPushButton::clicked, this, &QDialog::hide);
    connect(list_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* row, int) { onDoubleClick(row); });
}

void CertListDialog::Init(Certificates& certs) {
    certs_ = &certs;
    const QIcon icon(CertificateBitmap());
    list_->clear();
    for (const auto& [key, entry] : certs) {
        auto* row = new QTreeWidgetItem(list_);
        row->setText(0, QString::fromStdString(entry->Certificate.SubjectName()));
        row->setIcon(0, icon);
        row->setData(0, kEntryRole, QVariant::fromValue(static_cast<void*>(entry.get())));
    }
}

SmartCardCertificate* CertListDialog::EntryOf(const QTreeWidgetItem* row) {
    if (row == nullptr) {
        return nullptr;
    }
    return static_cast<SmartCardCertificate*>(row->data(0, kEntryRole).value<void*>());
}

void CertListDialog::onDoubleClick(QTreeWidgetItem* row) {
    SmartCardCertificate* entry = EntryOf(row);
    // An entry whose object had no value holds no certificate: there is nothing to show.
    if (entry != nullptr && entry->Certificate.Imported()) {
        entry->Certificate.Display();
    }
}

}  // namespace tesmira
