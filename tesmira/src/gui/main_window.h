// The manager's main window: the reader picture and card summary, the PIN/PUK and other-function
// panels, the exit button, and the polling timer that drives the reader watch.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>

#include "change_pin_dlg.h"
#include "reader_watch.h"

class QLabel;
class QPushButton;
class QRadioButton;

namespace tesmira {

class AtrTable;
class CardoloLibrary;
class SettingsStore;

// The polling period of the reader timer.
inline constexpr int kPollingIntervalMs = 1600;

class MainWindow final : public QMainWindow, private CardView {
    Q_OBJECT

  public:
    // Runs the start-up: localisation, stored position, pictures, the no-card state and one
    // immediate tick (during which a token needing PIN initialisation is passed over), then
    // starts polling.
    MainWindow(CardoloLibrary& cardolo, const AtrTable& atrTable, SettingsStore& settings,
               Pkcs11LibFactory createLib = &Pkcs11Lib::Create);
    ~MainWindow() override;

    void SuspendPolling();
    void ResumePolling();

    ReaderWatch& watch() { return watch_; }
    QTimer& readerTimer() { return timer_; }
    bool setupLaunchFailed() const { return setupLaunchFailed_; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildForm();
    void ShowNoCard() override;
    void ShowCard() override;
    void SetWaitCursor(bool on) override;
    bool AskInitializePin() override;

    void onPinNext();
    void onOtherNext();
    // The four other functions: the certificate list, the setup program's launch and the
    // import dialog with the import (its result, 0x80400001 when the dialog was cancelled).
    void ShowContents(SmartCardCls& card);
    void LaunchSetup();
    void ImportP12(SmartCardCls& card, std::int32_t* result);
    // Runs one operation and shows its result: a raised error as message 1103 and its
    // description, a failure as its ErrorText, success as message 1105 when successText.
    void runAndReport(const std::function<void(std::int32_t*)>& operation, int operationCode,
                      bool successText);

    SettingsStore& settings_;
    QtPinDialogs pinDialogs_{this};
    ReaderWatch watch_;
    QTimer timer_;
    bool setupLaunchFailed_ = false;

    QLabel* banner_ = nullptr;
    QLabel* emptyReaderPicture_ = nullptr;
    QLabel* cardReaderPicture_ = nullptr;
    QLabel* cardLabel_ = nullptr;
    std::array<QRadioButton*, 3> pinOptions_{};
    std::array<QRadioButton*, 4> otherOptions_{};
    QPushButton* pinNext_ = nullptr;
    QPushButton* otherNext_ = nullptr;
    QPushButton* exit_ = nullptr;
};

}  // namespace tesmira
