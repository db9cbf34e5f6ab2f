// Reader polling: one tick finds the first reader with a usable card, keeps the card model and
// the PKCS#11 libraries in step with the reader list, and tells the view what to show.
#pragma once

#include <memory>
#include <string>

#include "pkcs11_libs.h"
#include "smart_card.h"

namespace tesmira {

class AtrTable;
class CardoloLibrary;

// What the tick asks of the window.
class CardView {
  public:
    virtual void ShowNoCard() = 0;
    virtual void ShowCard() = 0;
    virtual void SetWaitCursor(bool on) = 0;
    // Message 1106 with Yes/No; true for Yes.
    virtual bool AskInitializePin() = 0;

  protected:
    ~CardView() = default;
};

class ReaderWatch final {
  public:
    ReaderWatch(CardoloLibrary& cardolo, const AtrTable& atrTable, CardView& view,
                Pkcs11LibFactory createLib = &Pkcs11Lib::Create);
    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;

    // One polling tick. Does nothing while busy, or while another tick is still running (a
    // modal question inside a tick runs its own event loop, in which the timer keeps firing).
    // Errors of the card library's binding end the tick with nothing changed.
    void Tick();

    SmartCardCls& card() { return *card_; }
    // The dialogs every card's PIN workflows show (the window's; tests give their own).
    void setPinDialogs(PinDialogs* dialogs) { env_.dialogs = dialogs; }
    // Drops the current card (disconnecting it) for a fresh, unconnected one.
    void ReplaceCard();

    bool busy = false;
    bool loading = false;

    const std::string& lastReaderList() const { return lastReaderList_; }
    const Pkcs11Libs& pkcs11Libs() const { return libs_; }
    // How many times the reader list changed and the libraries were loaded again.
    int libraryReloads() const { return reloads_; }

  private:
    void Scan();

    CardEnvironment env_;
    CardView& view_;
    Pkcs11LibFactory createLib_;
    Pkcs11Libs libs_;
    std::unique_ptr<SmartCardCls> card_;
    std::string lastReaderList_;
    bool ticking_ = false;
    int reloads_ = 0;
};

}  // namespace tesmira
