// The PIN dialogs: layout from their templates in dialog units, texts from the message table,
// OK judged by form_logic, secrets wiped from the fields.
#include "pin_form.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <cstring>

#include "owner_window.h"
#include "texts.h"
#include "ui/qt_host.h"
#include "win/winuser.h"

namespace crvk2plg {

namespace {

// Dialog units as Windows computes them from the dialog's font: a horizontal unit is a quarter
// of the average character width, a vertical unit an eighth of the character height. Laying out
// by them keeps the templates' proportions with whatever font the desktop gives Qt.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font) {
        QFontMetrics fm(font);
        static const QString alphabet =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX_ = (fm.horizontalAdvance(alphabet) / 26 + 1) / 2;
        baseY_ = fm.height();
    }
    int x(int dlu) const { return (dlu * baseX_ + 2) / 4; }
    int y(int dlu) const { return (dlu * baseY_ + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }

  private:
    int baseX_ = 6;
    int baseY_ = 13;
};

// Password fields show '*' for every character, whatever the desktop style prefers.
class StarPasswordStyle final : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) {
            return '*';
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

struct Control {
    const char* id;
    int x, y, w, h;
};

// Template geometry (dialog units) and default texts; the defaults are Italian and stay only
// where the message table has no text.
struct Template {
    int width, height;
    const char* caption;
    const char* prompt;
    const char* labels[3];
    Control promptAt;
    Control labelAt[3];
    Control fieldAt[3];
    Control okAt, cancelAt;
};

const Template kEntryTemplate{237,
                              66,
                              "Inserisci PIN SmartCard",
                              "Inserisci il PIN per la Firma Avanzata:",
                              {nullptr, nullptr, nullptr},
                              {"202", 27, 4, 206, 17},
                              {},
                              {{"201", 4, 27, 229, 14}},
                              {"1", 129, 48, 50, 14},
                              {"2", 183, 48, 50, 14}};

const Template kChangeTemplate{
    238,
    97,
    "- Cambio PIN di Firma Avanzata -",
    "- Digitare il vecchio ed il nuovo PIN di Firma Avanzata: -",
    {"- PIN: -", "- Nuovo PIN: -", "- Ripetere PIN: -"},
    {"202", 27, 2, 206, 17},
    {{"209", 6, 25, 51, 8}, {"212", 6, 42, 51, 8}, {"213", 6, 60, 51, 8}},
    {{"210", 61, 22, 170, 14}, {"211", 61, 39, 170, 14}, {"214", 61, 57, 170, 14}},
    {"1", 129, 76, 50, 14},
    {"2", 183, 76, 50, 14}};

const Template kUnblockTemplate{
    238,
    97,
    "Sblocco PIN di Firma Avanzata",
    "Digitare il PUK ed il nuovo PIN di Firma Avanzata:",
    {"PUK:", "Nuovo PIN:", "Ripetere PIN:"},
    {"202", 27, 2, 206, 17},
    {{"206", 6, 25, 51, 8}, {"207", 6, 42, 51, 8}, {"208", 6, 60, 51, 8}},
    {{"203", 61, 22, 170, 14}, {"204", 61, 39, 170, 14}, {"205", 61, 57, 170, 14}},
    {"1", 129, 76, 50, 14},
    {"2", 183, 76, 50, 14}};

const Template& templateFor(FormKind kind) {
    switch (kind) {
        case FormKind::PinEntry:
            return kEntryTemplate;
        case FormKind::Unblock:
            return kUnblockTemplate;
        default:
            return kChangeTemplate;
    }
}

int fieldCount(FormKind kind) {
    return kind == FormKind::PinEntry ? 1 : 3;
}

// A field's text, cut to the limit, as wiping UTF-8 bytes. No QString copy is made: the view
// reads the widget's own buffer, which stays intact for a dialog that remains open.
vantor::SecureBytes fieldValue(const QLineEdit* edit) {
    const QString text = edit->text();
    QByteArray utf8 = QStringView(text).left(kMaxFieldChars).toUtf8();
    vantor::SecureBytes out(reinterpret_cast<const std::uint8_t*>(utf8.constData()),
                            static_cast<std::size_t>(utf8.size()));
    vantor::secureWipe(utf8.data(), static_cast<std::size_t>(utf8.size()));
    return out;
}

QString displayText(DWORD id, const char* fallback) {
    std::string looked = id != 0 ? loadText(id) : std::string();
    if (!looked.empty()) {
        return QString::fromUtf8(looked.data(), static_cast<qsizetype>(looked.size()));
    }
    return fallback != nullptr ? QString::fromUtf8(fallback) : QString();
}

}  // namespace

void wipeLineEdit(QLineEdit* edit) {
    if (edit == nullptr) {
        return;
    }
    // text() shares the widget's own buffer; overwriting it through the shared data reaches
    // the copy the widget holds before the widget lets it go.
    // Text set from a literal lives in read-only static data and is no secret; only heap
    // buffers (what the user typed) are overwritten.
    QString shared = edit->text();
    if (!shared.isEmpty() && shared.data_ptr().isMutable()) {
        vantor::secureWipe(const_cast<QChar*>(shared.constData()),
                           static_cast<std::size_t>(shared.size()) * sizeof(QChar));
    }
    edit->clear();
}

PinForm::PinForm(FormKind kind, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      kind_(kind),
      owner_(owner) {
    build();
    applyTexts();
}

PinForm::~PinForm() {
    wipeFields();
}

void PinForm::build() {
    const Template& t = templateFor(kind_);
    const DialogUnits du(font());
    setModal(true);
    setWindowModality(Qt::ApplicationModal);
    if (kind_ == FormKind::PinEntry) {
        // The entry dialog is system-modal: it stays above every other window.
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
    }
    setFixedSize(du.x(t.width), du.y(t.height));

    auto* icon = new QLabel(this);
    icon->setObjectName("icon");
    const QRect iconRect = du.rect(4, 4, 20, 20);
    icon->setGeometry(iconRect);
    icon->setPixmap(style()
                        ->standardIcon(QStyle::SP_MessageBoxQuestion, nullptr, this)
                        .pixmap(qMin(iconRect.width(), iconRect.height())));

    prompt_ = new QLabel(this);
    prompt_->setObjectName(t.promptAt.id);
    prompt_->setWordWrap(true);
    prompt_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    prompt_->setGeometry(du.rect(t.promptAt.x, t.promptAt.y, t.promptAt.w, t.promptAt.h));

    auto* passwordStyle = new StarPasswordStyle;
    passwordStyle->setParent(this);
    for (int i = 0; i < fieldCount(kind_); ++i) {
        if (t.labels[i] != nullptr) {
            const Control& c = t.labelAt[i];
            labels_[i] = new QLabel(this);
            labels_[i]->setObjectName(c.id);
            // The label row is taller than 8 units where the font needs it; centred on its field.
            const QRect field =
                du.rect(t.fieldAt[i].x, t.fieldAt[i].y, t.fieldAt[i].w, t.fieldAt[i].h);
            labels_[i]->setGeometry(du.x(c.x), field.top(), du.x(c.w), field.height());
            labels_[i]->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        }
        const Control& f = t.fieldAt[i];
        fields_[i] = new QLineEdit(this);
        fields_[i]->setObjectName(f.id);
        fields_[i]->setGeometry(du.rect(f.x, f.y, f.w, f.h));
        fields_[i]->setEchoMode(QLineEdit::Password);
        fields_[i]->setStyle(passwordStyle);
        fields_[i]->setMaxLength(kMaxFieldChars);
        if (labels_[i] != nullptr) {
            labels_[i]->setBuddy(fields_[i]);
        }
    }

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(t.okAt.id);
    ok->setGeometry(du.rect(t.okAt.x, t.okAt.y, t.okAt.w, t.okAt.h));
    ok->setDefault(true);
    ok->setAutoDefault(true);
    // The templates say "Annulla"; the table has no text for the button, so an English (or any
    // non-Italian) dialog names it in English rather than mixing languages.
    auto* cancel = new QPushButton(
        textsAreItalian() ? QStringLiteral("Annulla") : QStringLiteral("Cancel"), this);
    cancel->setObjectName(t.cancelAt.id);
    cancel->setGeometry(du.rect(t.cancelAt.x, t.cancelAt.y, t.cancelAt.w, t.cancelAt.h));
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &PinForm::accept);
    connect(cancel, &QPushButton::clicked, this, &PinForm::reject);
}

void PinForm::applyTexts() {
    const Template& t = templateFor(kind_);
    const FormTexts& texts = formTexts(kind_);
    setWindowTitle(displayText(texts.caption, t.caption));
    prompt_->setText(displayText(texts.prompt, t.prompt));
    for (int i = 0; i < 3; ++i) {
        if (labels_[i] != nullptr) {
            labels_[i]->setText(displayText(texts.labels[i], t.labels[i]));
        }
    }
    placeOverOwner();
    fields_[0]->setFocus(Qt::OtherFocusReason);
}

void PinForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    placeOverOwner();  // again, now that the frame is known
}

void PinForm::placeOverOwner() {
    QScreen* screen = owner_ != nullptr ? owner_->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect();
    const QRect over = owner_ != nullptr ? owner_->frameGeometry() : area;
    // The frame counts: Windows centres and clamps the whole window, and move() places the
    // frame's corner. Before the window is shown the frame is not known yet and is the client.
    const QRect frame = frameGeometry();
    QRect r(QPoint(0, 0), frame.size());
    r.moveCenter(over.center());
    // Kept inside the work area, the top-left corner winning when the dialog is larger.
    if (area.isValid()) {
        if (r.right() > area.right())
            r.moveRight(area.right());
        if (r.bottom() > area.bottom())
            r.moveBottom(area.bottom());
        if (r.left() < area.left())
            r.moveLeft(area.left());
        if (r.top() < area.top())
            r.moveTop(area.top());
    }
    // A child dialog is placed in its parent's coordinates only when it is not a window; a
    // QDialog is always a window, so this is a global position.
    move(r.topLeft());
}

QLineEdit* PinForm::field(Field f) const {
    const int i = static_cast<int>(f);
    return i < fieldCount(kind_) ? fields_[i] : nullptr;
}

void PinForm::accept() {
    vantor::SecureBytes first = fieldValue(fields_[0]);
    vantor::SecureBytes newValue;
    vantor::SecureBytes repeat;
    if (fieldCount(kind_) == 3) {
        newValue = fieldValue(fields_[1]);
        repeat = fieldValue(fields_[2]);
    }
    auto view = [](const vantor::SecureBytes& b) {
        return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
    };
    const Verdict verdict = judge(kind_, view(first), view(newValue), view(repeat));
    if (!verdict.accept) {
        const std::string text = loadText(verdict.message.text);
        const std::string caption = loadText(verdict.message.caption);
        MessageBoxA(vantor::ui::hwndFromWidget(this), text.c_str(), caption.c_str(),
                    MB_ICONWARNING | MB_OK);
        if (verdict.clearNewFields) {
            wipeLineEdit(fields_[1]);
            wipeLineEdit(fields_[2]);
        }
        if (QLineEdit* focus = field(verdict.focus)) {
            focus->setFocus(Qt::OtherFocusReason);
        }
        return;
    }
    values_.first = std::move(first);
    values_.newValue = std::move(newValue);
    wipeFields();
    QDialog::accept();
}

void PinForm::wipeFields() {
    for (QLineEdit* edit : fields_) {
        wipeLineEdit(edit);
    }
}

FormValues PinForm::takeValues() {
    FormValues out = std::move(values_);
    values_.first.wipe();
    values_.newValue.wipe();
    return out;
}

bool runPinForm(FormKind kind, FormValues& out) {
    const bool ownApplication = QApplication::instance() == nullptr;
    vantor::ui::ApplicationScope app;
    if (!app.ok() || QApplication::instance()->thread() != QThread::currentThread()) {
        return false;
    }
    if (ownApplication) {
        // Closing our only window must not quit the thread's event loops: Qt would then end
        // every later dialog or message box of this thread at once.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    PinForm form(kind, findOwnerWindow());
    form.show();
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        form.raise();
        form.activateWindow();
    }
    if (form.exec() != QDialog::Accepted) {
        return false;
    }
    out = form.takeValues();
    return true;
}

}  // namespace crvk2plg
