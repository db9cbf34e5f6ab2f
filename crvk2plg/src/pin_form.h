// The three modal PIN dialogs (entry, change, unblock) on Qt Widgets.
#pragma once

#include <QDialog>
#include <QString>

#include "form_logic.h"
#include "vantor/secure_bytes.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace crvk2plg {

// The values of a confirmed dialog as UTF-8 bytes (at most kMaxFieldChars characters each):
// first = the PIN (entry), the PUK (unblock) or the old value (change); newValue = the new value.
struct FormValues {
    vantor::SecureBytes first;
    vantor::SecureBytes newValue;
};

// One dialog. Its controls carry their template ids as object names ("201" the PIN field, "1"
// OK, "2" Cancel, ...), which is how tests and automation find them.
class PinForm final : public QDialog {
  public:
    PinForm(FormKind kind, QWidget* owner);
    ~PinForm() override;
    PinForm(const PinForm&) = delete;
    PinForm& operator=(const PinForm&) = delete;

    FormKind kind() const { return kind_; }
    QLineEdit* field(Field f) const;
    // Hands the confirmed values over; the dialog keeps no copy.
    FormValues takeValues();

    void accept() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void build();
    void applyTexts();
    void placeOverOwner();
    void wipeFields();

    FormKind kind_;
    QWidget* owner_;
    QLabel* prompt_ = nullptr;
    QLabel* labels_[3] = {nullptr, nullptr, nullptr};
    QLineEdit* fields_[3] = {nullptr, nullptr, nullptr};
    FormValues values_;
};

// Runs the dialog of `kind` modally, owned by the caller's window (OwnerWindowFinder). True when
// confirmed, with the values in `out`; false when cancelled or when no window can be shown.
bool runPinForm(FormKind kind, FormValues& out);

// Overwrites a line edit's text in place and empties it, so the typed secret does not linger in
// the widget's buffer.
void wipeLineEdit(QLineEdit* edit);

}  // namespace crvk2plg
