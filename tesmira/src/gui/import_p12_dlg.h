// The PKCS#12 import dialog: object label, file path with browse, file password and PIN, with
// the checks of its OK button.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>
#include <string>

class QLineEdit;
class QPushButton;

namespace tesmira {

// The file-open dialog's filter in the Windows form, description|pattern pairs.
inline constexpr const char* kP12FileFilter = "PKCS#12 (*.p12;*.pfx)|*.p12;*.pfx|*.*|*.*";

// The same filter as Qt's file dialog takes it: "PKCS#12 (*.p12 *.pfx);;*.* (*)".
QString QtFileFilter(const std::string& windowsFilter);

class ImportP12Dlg final : public QDialog {
    Q_OBJECT

  public:
    // Proposes "Obj_" followed by NextObjectNumber as the object label and counts it up.
    explicit ImportP12Dlg(QWidget* owner);

    bool OkPressed = false;

    // Asks for a file to open with the given Qt filter; nothing when cancelled. Tests replace
    // the real file dialog with their own answer; null restores it.
    using FileChooser = std::function<std::optional<QString>(QWidget*, const QString&)>;
    static void setFileChooser(FileChooser chooser);

    QLineEdit* ckaIDEdt = nullptr;
    QLineEdit* p12FileEdt = nullptr;
    QLineEdit* p12PassEdt = nullptr;
    QLineEdit* PinEdt = nullptr;

  private:
    void onBrowse();
    void onOk();
    void onCancel();

    QPushButton* browse_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace tesmira
