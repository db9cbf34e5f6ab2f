// The certificate dialog: one list row per certificate (its friendly display name), OK and Show
// enabled only with a selection, the viewer on Show or activation, message 0x5 on OK without one.
#include "certificate_dialog.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "setup_messages.h"
#include "ui/qt_host.h"
#include "win/cryptuiapi.h"
#include "win/libloaderapi.h"
#include "win/winuser.h"

namespace vantorsetup {

namespace {

// The one column is this wide, as the list was laid out for it.
constexpr int kColumnWidth = 410;
// The viewer is given the structure size of the 32-bit layout it was defined with; it reads no
// member beyond that size.
constexpr DWORD kViewStructSize = 72;

QString text(DWORD id) {
    return QString::fromStdString(setupMessage(id));
}

}  // namespace

bool viewCertificate(PCCERT_CONTEXT cert) {
    HMODULE viewer = LoadLibraryA("cryptui.dll");
    if (viewer == nullptr) {
        return false;
    }
    bool shown = false;
    if (auto view = ProcAs<PFN_CryptUIDlgViewCertificateA>(
            GetProcAddress(viewer, "CryptUIDlgViewCertificateA"))) {
        CRYPTUI_VIEWCERTIFICATE_STRUCTA info{};
        info.dwSize = kViewStructSize;
        info.pCertContext = cert;
        BOOL changed = FALSE;
        shown = view(&info, &changed) != FALSE;
    }
    FreeLibrary(viewer);
    return shown;
}

CertificateDialog::CertificateDialog(const CertificateList& certs, QWidget* owner)
    : QDialog(owner), certs_(certs) {
    setObjectName("vantorCertificateDialog");
    setModal(true);
    setWindowTitle(text(MSG_SMART_LOGON_OPTION));
    if (owner != nullptr) {
        setWindowIcon(owner->windowIcon());
    }

    list_ = new QTableWidget(static_cast<int>(certs.size()), 1, this);
    list_->setObjectName("control1005");
    list_->horizontalHeader()->hide();
    list_->verticalHeader()->hide();
    list_->setShowGrid(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setWordWrap(false);
    list_->setColumnWidth(0, kColumnWidth);
    list_->setMinimumSize(kColumnWidth + 24, 150);
    for (std::size_t i = 0; i < certs.size(); ++i) {
        const QString name = QString::fromStdString(displayName(certs[i]));
        auto* item = new QTableWidgetItem(name);
        // A name wider than the column shows in full as a tip.
        item->setToolTip(name);
        list_->setItem(static_cast<int>(i), 0, item);
    }
    list_->setCurrentItem(nullptr);
    list_->clearSelection();
    list_->installEventFilter(this);

    ok_ = new QPushButton(tr("OK"), this);
    ok_->setObjectName("control1");
    ok_->setAutoDefault(false);
    show_ = new QPushButton(text(MSG_SHOW), this);
    show_->setObjectName("control3");
    show_->setAutoDefault(false);
    cancel_ = new QPushButton(text(MSG_CANCEL), this);
    cancel_->setObjectName("control2");
    cancel_->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok_);
    buttons->addWidget(show_);
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(buttons);

    connect(ok_, &QPushButton::clicked, this, &CertificateDialog::accept);
    connect(show_, &QPushButton::clicked, this, &CertificateDialog::showSelected);
    connect(cancel_, &QPushButton::clicked, this, &CertificateDialog::reject);
    connect(list_, &QTableWidget::itemSelectionChanged, this, &CertificateDialog::updateButtons);
    connect(list_, &QTableWidget::itemActivated, this, [this] { showSelected(); });
    updateButtons();
}

PCCERT_CONTEXT CertificateDialog::selected() const {
    const QList<QTableWidgetItem*> items = list_->selectedItems();
    if (items.isEmpty()) {
        return nullptr;
    }
    const int row = items.front()->row();
    return row >= 0 && static_cast<std::size_t>(row) < certs_.size() ? certs_[row] : nullptr;
}

void CertificateDialog::updateButtons() {
    const bool any = selected() != nullptr;
    ok_->setEnabled(any);
    show_->setEnabled(any);
}

void CertificateDialog::showSelected() {
    if (PCCERT_CONTEXT cert = selected()) {
        viewCertificate(cert);
    }
}

void CertificateDialog::accept() {
    PCCERT_CONTEXT cert = selected();
    if (cert == nullptr) {
        MessageBoxA(vantor::ui::hwndFromWidget(this), setupMessage(MSG_SELECT_CERTIFICATE).c_str(),
                    kBoxCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    chosen_ = cert;
    QDialog::accept();
}

bool CertificateDialog::eventFilter(QObject* watched, QEvent* event) {
    // Enter in the list activates the row (the viewer) and goes no further: the dialog's default
    // button is Cancel, which would otherwise close the dialog as well.
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            showSelected();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vantorsetup
