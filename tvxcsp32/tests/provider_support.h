// Test support for the card provider: a private registry with the provider registered by name,
// contexts through the CryptoAPI front end as an application opens them, parameter readers, and
// a driver that answers the PIN dialog and its message boxes through their widgets.
#pragma once

#include "win/errhandlingapi.h"
#include "win/wincrypt.h"
#include "win/winreg.h"

#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QApplication;
class QWidget;

namespace tvxtest {

inline constexpr char kProvider[] = "Vantor Cryptographic Service Provider";
inline constexpr DWORD PP_FORCE_PIN = 1000;
inline constexpr DWORD PP_SLOT_NAME = 1001;
inline constexpr DWORD PP_SLOT_INDEX = 1002;
inline constexpr DWORD PP_LAST_CARD_ERROR = 1003;
inline constexpr DWORD kWrongChv = 0x8010002Au;
inline constexpr DWORD kSlotNotFound = 22501;
inline constexpr DWORD kPinCancelled = 22503;
inline constexpr HCRYPTKEY kCardKey = 0xFFFFFFFFu;
inline constexpr DWORD KP_SMARTLOGON = 0x80000001u;

std::string providerImage();  // the built tvxcsp32.so
std::string csptoolPath();    // the built csptool

// A fresh registry directory (VANTOR_REGISTRY_DIR, VANTOR_RUNTIME_DIR) for this process, with
// the provider registered and the given provider-key values written.
std::string makePrivateRegistry();
void registerProvider(const std::string& pkcs11Lib, std::optional<DWORD> detectReaderChanges = {});
// Writes "Slot nr" under the user settings key with the type given (REG_DWORD or REG_SZ).
void setSlotSetting(DWORD type, const std::string& bytes);
std::optional<DWORD> slotSettingDword();

// A context on the provider; released by the destructor.
class Context final {
  public:
    Context(const char* container, DWORD flags);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    bool ok() const { return handle_ != 0; }
    DWORD acquireError() const { return error_; }
    HCRYPTPROV get() const { return handle_; }

    std::optional<DWORD> dword(DWORD param) const;
    std::optional<std::string> text(DWORD param) const;
    DWORD lastCardError() const { return dword(PP_LAST_CARD_ERROR).value_or(~0u); }
    // Each returns 0 or GetLastError().
    DWORD setDword(DWORD param, DWORD value);
    DWORD setSlotName(const std::string& name);
    DWORD setSlotIndex(DWORD index);
    DWORD setPin(const std::string& pin);
    // A card operation: the certificate of the context's key (binds the card first).
    DWORD readCertificate(std::vector<BYTE>* der = nullptr);

  private:
    HCRYPTPROV handle_ = 0;
    DWORD error_ = 0;
};

// Answers the PIN dialog and message boxes as a user would. Each step is offered the top modal
// window (the dialog or a message box) every 50 ms and returns true when it has done its part.
// run() executes a call (which shows the dialog) with the steps queued; steps left over, or a
// window still open after the time-out, are recorded and closed so the test never hangs.
class DialogDriver final {
  public:
    using Step = std::function<bool(QWidget* modal)>;
    DialogDriver& then(Step step);
    // Runs call (under an event-loop that drives the steps); returns its result.
    DWORD run(const std::function<DWORD()>& call, int timeoutMs = 20000);
    int dialogsSeen() const { return dialogsSeen_; }
    std::vector<std::string> messages() const { return messages_; }  // message-box texts
    bool finished() const { return steps_.empty(); }

  private:
    std::vector<Step> steps_;
    int dialogsSeen_ = 0;
    std::vector<std::string> messages_;
};

// Steps.
bool isPinDialog(QWidget* w);
bool isMessageBox(QWidget* w);
DialogDriver::Step typePinAndOk(const std::string& pin);
DialogDriver::Step clickOk();
DialogDriver::Step cancel();
DialogDriver::Step answerMessageBox(std::string* text);
// Waits until the dialog's state satisfies check (after refreshes), recording what it saw.
DialogDriver::Step inspect(std::function<bool(QWidget* dialog)> check);

// Widget readers for inspect steps.
QString comboText(QWidget* dialog);
int comboCount(QWidget* dialog);
bool comboEnabled(QWidget* dialog);
bool pinVisible(QWidget* dialog);
bool pinWritable(QWidget* dialog);
QString infoText(QWidget* dialog);
bool infoVisible(QWidget* dialog);

// An offscreen QApplication for this test program (made once).
QApplication& offscreenApplication();

}  // namespace tvxtest
