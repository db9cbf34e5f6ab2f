// Test driver for modal windows: answers the plug-in's dialogs and message boxes, one step per
// modal window as it appears, through their real widgets (offscreen Qt, same process).
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace crvk2plg::test {

// What one modal window showed when its step ran.
struct Seen {
    std::string className;  // "QMessageBox" or the dialog's class
    std::string title;
    std::string text;  // a message box's text, a dialog's prompt (object "202")
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    std::string focus;  // object name of the focused widget
    const QWidget* self = nullptr;
    const QWidget* parent = nullptr;  // the owner
    QRect geometry;                   // where the window was placed
};

using Step = std::function<void(QWidget*)>;

// Each modal window that becomes active gets the next step (a window that comes back after a box
// it opened closes counts again). Windows beyond the steps, or any still open after the time
// limit, are closed as cancelled so a failing test ends instead of hanging.
class ModalScript {
  public:
    explicit ModalScript(std::vector<Step> steps, int limitMs = 10000);
    ~ModalScript();
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    const std::vector<Seen>& seen() const { return seen_; }
    bool allStepsRan() const { return next_ == steps_.size(); }
    int unexpected() const { return unexpected_; }

  private:
    void poll();

    std::vector<Step> steps_;
    std::size_t next_ = 0;
    int unexpected_ = 0;
    std::vector<Seen> seen_;
    QPointer<QWidget> last_;
    QTimer timer_;
    int elapsedMs_ = 0;
    int limitMs_;
};

// Step helpers.
void setField(QWidget* window, const char* id, const QString& text);
QString fieldText(QWidget* window, const char* id);
void click(QWidget* window, const char* id);  // "1" OK, "2" Cancel
void clickBox(QWidget* box, QMessageBox::StandardButton which);
Step fillAndOk(std::vector<std::pair<const char*, QString>> fields);
Step cancel();
Step answerBox(QMessageBox::StandardButton which);

}  // namespace crvk2plg::test
