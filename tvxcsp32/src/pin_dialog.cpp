// The PIN dialog on Qt Widgets: the token list refreshed every second, the PIN field, and the
// login with its wrong-PIN and locked-PIN messages.
#include "pin_dialog.h"

#include "card_binding.h"
#include "container_name.h"
#include "provider_codes.h"
#include "provider_messages.h"
#include "reader_watch.h"
#include "ui/qt_host.h"
#include "vantor/secure_bytes.h"
#include "win/winuser.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstring>

namespace tvx {
namespace {

constexpr int kRefreshMs = 1000;
constexpr int kMaxPinLength = 16;

// Icons 105 (a token is there) and 106 (none): a card with its chip, coloured or greyed out.
QPixmap cardIcon(bool available) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(available ? QColor(20, 70, 140) : QColor(120, 120, 120), 1.5));
    p.setBrush(available ? QColor(70, 130, 210) : QColor(200, 200, 200));
    p.drawRoundedRect(QRectF(2, 7, 28, 19), 3, 3);
    p.setBrush(available ? QColor(235, 195, 80) : QColor(170, 170, 170));
    p.setPen(QPen(available ? QColor(150, 110, 20) : QColor(110, 110, 110), 1));
    p.drawRoundedRect(QRectF(6, 12, 8, 7), 1.5, 1.5);
    if (!available) {
        p.setPen(QPen(QColor(200, 30, 30), 3));
        p.drawLine(19, 16, 28, 25);
        p.drawLine(28, 16, 19, 25);
    }
    return pixmap;
}

std::string text64(const CK_UTF8CHAR* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), size);
}

class PinDialog final : public QDialog {
  public:
    PinDialog(QWidget* owner, CardSession& card, DWORD forcePin,
              const std::optional<std::string>& serialFilter)
        : QDialog(owner), card_(card), forcePin_(forcePin), serialFilter_(serialFilter) {
        setObjectName(kPinDialogName);
        setWindowTitle("Vantor");
        detectChanges_ = readDetectReaderChanges();
        build();
        combo_->addItem(QString::fromStdString(providerMessage(MSG_WAIT)));
        combo_->setCurrentIndex(0);
        refresh();
        timer_.setInterval(kRefreshMs);
        connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
        timer_.start();
    }

    DWORD cardResult() const { return result_; }

    // A dialog may end during its first refresh, before it runs (a reader change); Qt would
    // forget that once exec() starts, so the ending is remembered here.
    void done(int code) override {
        endedWith_ = code;
        QDialog::done(code);
    }
    std::optional<int> endedWith() const { return endedWith_; }

    void reject() override {
        // Cancel, Escape and closing the window.
        result_ = ERR_PIN_CANCELLED;
        QDialog::reject();
    }

  private:
    // The template's layout in dialog units, converted with the font's average character
    // width (4 units) and height (8 units) as dialog units are.
    QRect dlu(int x, int y, int w, int h) const {
        const QFontMetrics fm(font());
        const double bx = fm.averageCharWidth() / 4.0;
        const double by = fm.height() / 8.0;
        return QRect(int(x * bx), int(y * by), int(w * bx), int(h * by));
    }

    void build() {
        combo_ = new QComboBox(this);
        combo_->setObjectName(kTokenComboName);
        combo_->setGeometry(dlu(34, 7, 115, 12));
        combo_->setEnabled(false);
        pin_ = new QLineEdit(this);
        pin_->setObjectName(kPinEditName);
        pin_->setGeometry(dlu(34, 26, 115, 14));
        pin_->setEchoMode(QLineEdit::Password);
        pin_->setMaxLength(kMaxPinLength);
        pin_->setEnabled(false);
        info_ = new QLineEdit(this);
        info_->setObjectName(kInfoEditName);
        info_->setGeometry(pin_->geometry());
        info_->setReadOnly(true);
        info_->setEnabled(false);
        info_->hide();
        icon_ = new QLabel(this);
        icon_->setObjectName(kIconName);
        icon_->setGeometry(dlu(8, 3, 21, 20));
        icon_->setPixmap(cardIcon(false));
        auto* label = new QLabel("PIN:", this);
        label->setGeometry(dlu(16, 28, 18, 10));
        auto* ok = new QPushButton("OK", this);
        ok->setObjectName(kOkButtonName);
        ok->setDefault(true);
        ok->setGeometry(dlu(34, 47, 55, 14));
        auto* cancel = new QPushButton("Cancel", this);
        cancel->setObjectName(kCancelButtonName);
        cancel->setGeometry(dlu(94, 47, 55, 14));
        connect(ok, &QPushButton::clicked, this, [this] { onOk(); });
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
        connect(combo_, &QComboBox::activated, this, [this](int) { onSelection(); });
        setFixedSize(dlu(0, 0, 156, 68).size());
    }

    void postOk() {
        QTimer::singleShot(0, this, [this] { onOk(); });
    }

    void refresh() {
        ModuleState& module = ModuleState::instance();
        if (detectChanges_ != 0 && ReaderWatch::instance().changed()) {
            result_ = ERR_READERS_CHANGED;
            done(QDialog::Rejected);
            return;
        }
        std::vector<bool> present;
        DWORD error = 0;
        // The whole presence set is compared, so a change in any slot is seen however many
        // slots the module has.
        if (!module.tokenPresence(present, &error) || (havePresence_ && present == lastPresence_)) {
            return;
        }
        lastPresence_ = present;
        havePresence_ = true;

        combo_->setEnabled(false);
        pin_->setEnabled(true);
        pin_->setReadOnly(true);
        protectedSlot_ = -1;
        combo_->clear();
        bool foreignToken = false;
        int selected = -1;
        CK_FUNCTION_LIST_PTR p11 = module.functions();
        const auto& slotList = module.slotIds();
        auto& map = module.comboMap();
        for (std::size_t i = 0; i < slotList.size(); ++i) {
            CK_SLOT_INFO slotInfo{};
            if (p11->C_GetSlotInfo(slotList[i], &slotInfo) != CKR_OK) {
                break;
            }
            CK_TOKEN_INFO tokenInfo{};
            if ((slotInfo.flags & CKF_TOKEN_PRESENT) == 0 ||
                p11->C_GetTokenInfo(slotList[i], &tokenInfo) != CKR_OK) {
                continue;
            }
            if ((tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
                protectedSlot_ = static_cast<int>(i);
            }
            if (serialFilter_ &&
                trimTrailingBlanks(text64(tokenInfo.serialNumber,
                                          sizeof(tokenInfo.serialNumber))) != *serialFilter_) {
                foreignToken = true;
                continue;
            }
            const int position = combo_->count();
            combo_->addItem(QString::fromUtf8(
                text64(slotInfo.slotDescription, sizeof(slotInfo.slotDescription)).c_str()));
            if (static_cast<std::size_t>(position) < map.size()) {
                map[position] = static_cast<DWORD>(i);
            }
            if (i == module.currentSlot()) {
                selected = position;
            }
        }
        combo_->setCurrentIndex(selected);
        combo_->setEnabled(combo_->count() > 1);
        if (combo_->count() > 0) {
            icon_->setPixmap(cardIcon(true));
            pin_->show();
            info_->hide();
            if (combo_->currentIndex() < 0) {
                combo_->setCurrentIndex(0);
                module.setCurrentSlot(map[0]);
            }
            onSelection();
            if (protectedSlot_ >= 0) {
                pin_->setEnabled(false);
                postOk();
            }
        } else {
            icon_->setPixmap(cardIcon(false));
            combo_->addItem(QString::fromStdString(providerMessage(MSG_INSERT_CARD)));
            combo_->setCurrentIndex(0);
            if (foreignToken) {
                pin_->hide();
                info_->show();
                info_->setText(QString::fromStdString(providerMessage(MSG_INSERT_VALID_CARD)));
            } else {
                pin_->show();
                info_->hide();
            }
        }
    }

    void onSelection() {
        ModuleState& module = ModuleState::instance();
        const int index = combo_->currentIndex();
        if (index < 0 || static_cast<std::size_t>(index) >= module.comboMap().size()) {
            return;
        }
        module.setCurrentSlot(module.comboMap()[index]);
        if (module.openSession(card_) != 0) {
            return;
        }
        if (forcePin_ != 0 || card_.loggedIn == 0) {
            if (card_.loggedIn != 0) {
                logout(card_);
                card_.loggedIn = 0;
            }
            activateWindow();
            pin_->setReadOnly(false);
            pin_->setEchoMode(QLineEdit::Password);
            pin_->setFocus();
            pin_->clear();
        } else {
            pin_->setReadOnly(true);
            pin_->setEchoMode(QLineEdit::Normal);
            pin_->setText(QString::fromStdString(providerMessage(MSG_ALREADY_LOGGED_IN)));
            postOk();
        }
    }

    void showMessage(DWORD textId) {
        MessageBoxA(vantor::ui::hwndFromWidget(this), providerMessage(textId).c_str(),
                    providerMessage(MSG_ERROR_CAPTION).c_str(), MB_OK);
    }

    // The PIN as typed (at most 16 characters), taken out of the field and wiped from the
    // temporary copies this code makes.
    vantor::SecureBytes takePin() {
        QByteArray utf8 = pin_->text().left(kMaxPinLength).toUtf8();
        vantor::SecureBytes pin(reinterpret_cast<const std::uint8_t*>(utf8.constData()),
                                static_cast<std::size_t>(utf8.size()));
        vantor::secureWipe(utf8.data(), static_cast<std::size_t>(utf8.size()));
        return pin;
    }

    void onOk() {
        if (done_) {
            return;  // a posted OK after the dialog already ended
        }
        if (card_.loggedIn != 0) {
            finish(0);
            return;
        }
        if (card_.session == 0) {
            // No token chosen (none present): nothing to log in to yet.
            if (protectedSlot_ < 0) {
                showMessage(MSG_WRONG_PIN);
            }
            return;
        }
        vantor::SecureBytes pin = takePin();
        if (pin.empty() && protectedSlot_ < 0) {
            showMessage(MSG_WRONG_PIN);
            return;
        }
        static CK_UTF8CHAR empty[1] = {0};
        const CK_RV rv = ModuleState::instance().functions()->C_Login(
            card_.session, CKU_USER, pin.empty() ? empty : pin.data(),
            static_cast<CK_ULONG>(pin.size()));
        pin.wipe();
        result_ = static_cast<DWORD>(rv);
        if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
            card_.loggedIn = 1;
            finish(0);
            return;
        }
        if (protectedSlot_ >= 0) {
            done(QDialog::Rejected);
            return;
        }
        if (rv == CKR_PIN_LOCKED) {
            showMessage(MSG_PIN_LOCKED);
            done(QDialog::Rejected);
            return;
        }
        showMessage(MSG_WRONG_PIN);
        pin_->clear();
    }

    void finish(DWORD result) {
        result_ = result;
        done_ = true;
        pin_->clear();
        done(QDialog::Accepted);
    }

    CardSession& card_;
    DWORD forcePin_;
    std::optional<std::string> serialFilter_;
    DWORD result_ = ERR_PIN_CANCELLED;
    std::optional<int> endedWith_;
    DWORD detectChanges_ = 0;
    int protectedSlot_ = -1;
    std::vector<bool> lastPresence_;
    bool havePresence_ = false;
    bool done_ = false;
    QTimer timer_;
    QComboBox* combo_ = nullptr;
    QLineEdit* pin_ = nullptr;
    QLineEdit* info_ = nullptr;
    QLabel* icon_ = nullptr;
};

}  // namespace

DWORD runPinDialog(CardSession& card, DWORD forcePin,
                   const std::optional<std::string>& serialFilter) {
    vantor::ui::ApplicationScope app;
    if (!app.ok()) {
        return ERR_PIN_CANCELLED;
    }
    PinDialog dialog(QApplication::activeWindow(), card, forcePin, serialFilter);
    // Centred on the owner, or on the screen's work area without one.
    if (QWidget* owner = dialog.parentWidget()) {
        dialog.move(owner->geometry().center() - dialog.rect().center());
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        dialog.move(screen->availableGeometry().center() - dialog.rect().center());
    }
    const int answer = dialog.endedWith() ? *dialog.endedWith() : dialog.exec();
    return answer == QDialog::Accepted ? 0 : dialog.cardResult();
}

}  // namespace tvx
