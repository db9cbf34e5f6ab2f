// Layout and contents of the certificate viewer's three tabs.
#include "viewer_dialog.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QFontDatabase>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vantor::cryptui {

namespace {

QString q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QLabel* label(const QString& text, bool bold = false, bool wrap = true) {
    auto* l = new QLabel(text);
    l->setWordWrap(wrap);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (bold) {
        QFont f = l->font();
        f.setBold(true);
        l->setFont(f);
    }
    return l;
}

QFrame* line() {
    auto* f = new QFrame;
    f->setFrameShape(QFrame::HLine);
    f->setFrameShadow(QFrame::Sunken);
    return f;
}

// One line of the field list: its short value in the list, its full value below it.
void addField(QTreeWidget* tree, const QString& name, const QString& full) {
    auto* item = new QTreeWidgetItem(tree);
    item->setText(0, name);
    QString shortValue = full;
    shortValue.replace('\n', ", ");
    item->setText(1, shortValue);
    item->setToolTip(1, full);
    item->setData(0, Qt::UserRole, full);
}

}  // namespace

ViewerDialog::ViewerDialog(const std::vector<BYTE>& der, const crypt32::CertificateText& text,
                           bool hasPrivateKey, const QString& title, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(title.isEmpty() ? QStringLiteral("Certificate") : title);
    setObjectName(QStringLiteral("CertificateViewer"));
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget;
    tabs_->addTab(generalPage(text, hasPrivateKey), QStringLiteral("General"));
    tabs_->addTab(detailsPage(text), QStringLiteral("Details"));
    tabs_->addTab(pathPage(der), QStringLiteral("Certification Path"));
    layout->addWidget(tabs_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    resize(560, 620);
}

void ViewerDialog::showPage(int page) {
    if (page >= 0 && page < tabs_->count()) {
        tabs_->setCurrentIndex(page);
    }
}

QWidget* ViewerDialog::generalPage(const crypt32::CertificateText& text, bool hasPrivateKey) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("general"));
    auto* v = new QVBoxLayout(page);
    auto* heading = label(QStringLiteral("Certificate Information"), true);
    QFont big = heading->font();
    big.setPointSizeF(big.pointSizeF() * 1.25);
    heading->setFont(big);
    v->addWidget(heading);
    v->addWidget(line());
    v->addWidget(
        label(QStringLiteral("This certificate is intended for the following purpose(s):")));
    QString purposes;
    if (text.allPurposes) {
        purposes = QStringLiteral("\u2022 All application policies");
    } else if (text.purposes.empty()) {
        purposes = QStringLiteral("\u2022 No purpose (the certificate's usage list is empty)");
    } else {
        for (const auto& p : text.purposes) {
            purposes += (purposes.isEmpty() ? "" : "\n") + QStringLiteral("\u2022 ") + q(p);
        }
    }
    auto* purposeLabel = label(purposes);
    purposeLabel->setObjectName(QStringLiteral("purposes"));
    purposeLabel->setContentsMargins(16, 0, 0, 0);
    v->addWidget(purposeLabel);
    v->addSpacing(8);
    v->addWidget(line());
    auto addPair = [&](const QString& name, const std::string& value, const char* object) {
        auto* row = new QHBoxLayout;
        auto* n = label(name, true, false);
        n->setMinimumWidth(90);
        n->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        auto* val = label(q(value));
        val->setObjectName(QString::fromLatin1(object));
        row->addWidget(n);
        row->addWidget(val, 1);
        v->addLayout(row);
    };
    addPair(QStringLiteral("Issued to:"), text.issuedTo, "issuedTo");
    addPair(QStringLiteral("Issued by:"), text.issuedBy, "issuedBy");
    auto* validity =
        label(QStringLiteral("Valid from %1 to %2").arg(q(text.validFrom), q(text.validTo)));
    validity->setObjectName(QStringLiteral("validity"));
    v->addWidget(validity);
    if (hasPrivateKey) {
        auto* key =
            label(QStringLiteral("You have a private key that corresponds to this certificate."));
        key->setObjectName(QStringLiteral("privateKey"));
        v->addWidget(key);
    }
    v->addStretch(1);
    return page;
}

QWidget* ViewerDialog::detailsPage(const crypt32::CertificateText& text) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("details"));
    auto* v = new QVBoxLayout(page);
    auto* split = new QSplitter(Qt::Vertical);
    fields_ = new QTreeWidget;
    fields_->setObjectName(QStringLiteral("fields"));
    fields_->setColumnCount(2);
    fields_->setHeaderLabels({QStringLiteral("Field"), QStringLiteral("Value")});
    fields_->setRootIsDecorated(false);
    fields_->setUniformRowHeights(true);
    addField(fields_, QStringLiteral("Version"), q(text.version));
    addField(fields_, QStringLiteral("Serial number"), q(text.serial));
    addField(fields_, QStringLiteral("Signature algorithm"), q(text.signatureAlgorithm));
    addField(fields_, QStringLiteral("Issuer"), q(text.issuer));
    addField(fields_, QStringLiteral("Valid from"), q(text.validFrom));
    addField(fields_, QStringLiteral("Valid to"), q(text.validTo));
    addField(fields_, QStringLiteral("Subject"), q(text.subject));
    addField(fields_, QStringLiteral("Public key"),
             q(text.publicKey) + QStringLiteral("\n") + q(text.publicKeyHex));
    for (const auto& e : text.extensions) {
        QString name = q(e.name);
        if (e.critical) {
            name += QStringLiteral(" (critical)");
        }
        addField(fields_, name, q(e.value));
    }
    addField(fields_, QStringLiteral("Thumbprint (SHA-1)"), q(text.sha1));
    addField(fields_, QStringLiteral("Fingerprint (SHA-256)"), q(text.sha256));
    fields_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    fields_->header()->setStretchLastSection(true);
    fieldValue_ = new QPlainTextEdit;
    fieldValue_->setObjectName(QStringLiteral("fieldValue"));
    fieldValue_->setReadOnly(true);
    fieldValue_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(fields_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        fieldValue_->setPlainText(item ? item->data(0, Qt::UserRole).toString() : QString());
    });
    split->addWidget(fields_);
    split->addWidget(fieldValue_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    v->addWidget(split);
    fields_->setCurrentItem(fields_->topLevelItem(0));
    return page;
}

QWidget* ViewerDialog::pathPage(const std::vector<BYTE>& der) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("path"));
    auto* v = new QVBoxLayout(page);
    v->addWidget(label(QStringLiteral("Certification path")));
    auto* tree = new QTreeWidget;
    tree->setObjectName(QStringLiteral("chain"));
    tree->setHeaderHidden(true);
    std::vector<std::vector<BYTE>> chain = crypt32::findChain(der.data(), der.size());
    // The stores give the chain leaf first; the path shows the root at the top.
    QTreeWidgetItem* parent = nullptr;
    bool rooted = false;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        auto text = crypt32::describeCertificate(it->data(), it->size());
        QString name = text ? q(text->issuedTo) : QStringLiteral("(undecodable)");
        if (it == chain.rbegin()) {
            rooted = text && text->selfIssued;
        }
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
        item->setText(0, name);
        parent = item;
    }
    tree->expandAll();
    if (parent) {
        tree->setCurrentItem(parent);
    }
    v->addWidget(tree, 1);
    v->addWidget(label(QStringLiteral("Certificate status:")));
    auto* status =
        label(rooted ? QStringLiteral("The chain ends at a root certificate in the stores.")
                     : QStringLiteral("The issuer of this certificate could not be found "
                                      "in the certificate stores."));
    status->setObjectName(QStringLiteral("status"));
    status->setFrameShape(QFrame::StyledPanel);
    status->setMargin(6);
    v->addWidget(status);
    return page;
}

}  // namespace vantor::cryptui
