// The module's state: readers as slots 1..n, one token binding per inserted card, and the
// sessions opened through it, each tied to one insertion of one card.
#pragma once

#include "config.h"
#include "readers.h"
#include "softhsm.h"

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace cardtoken {

class Module final {
  public:
    static Module& instance();

    std::recursive_mutex& mutex() { return mutex_; }
    bool initialized() const { return initialized_; }
    // The reason of the last refused C_Initialize or failed token binding ("" when none).
    const std::string& lastError() const { return lastError_; }

    CK_RV initialize(CK_VOID_PTR args);
    CK_RV finalize(CK_VOID_PTR reserved);
    CK_RV getInfo(CK_INFO_PTR info);
    CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
    CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info);
    CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
    CK_RV initToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen, CK_UTF8CHAR_PTR label);
    CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                      CK_SESSION_HANDLE_PTR session);
    CK_RV closeSession(CK_SESSION_HANDLE session);
    CK_RV closeAllSessions(CK_SLOT_ID slot);
    CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info);
    CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen);
    // C_SetPIN / C_InitPIN: with null values on a protected-path token configured with
    // pin_dialog, the values come from the PIN-dialog plug-in (change / unblock dialogs).
    CK_RV setPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen,
                 CK_UTF8CHAR_PTR newPin, CK_ULONG newLen);
    CK_RV initPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen);

    // Runs a slot call on the SoftHSM2 slot of the card in the reader of `slot`.
    CK_RV onSlot(CK_SLOT_ID slot, const std::function<CK_RV(CK_FUNCTION_LIST*, CK_SLOT_ID)>& call);
    // What a session call needs of the card. A card module answers session state, attribute
    // reads and object searches from what it read at login, without talking to the card; every
    // other call (login, PINs, signing, decryption, objects made or changed) goes to the card.
    enum class Touch { Card, CachedState };
    // Runs a session call on the SoftHSM2 session behind `session`, after checking that its card
    // is still the one inserted when it was opened: asked of pcsc-lite, or for a CachedState call
    // inside a burst of calls, taken from a confirmation moments old (see presenceFresh).
    CK_RV onSession(CK_SESSION_HANDLE session,
                    const std::function<CK_RV(CK_FUNCTION_LIST*, CK_SESSION_HANDLE)>& call,
                    Touch touch = Touch::Card);
    // The end of a call into the module (the export guard reports every one).
    void callEnded() { lastCallEnd_ = Clock::now(); }

  private:
    using Clock = std::chrono::steady_clock;

    Module() = default;
    // A client that never called C_Finalize leaves SoftHSM2 initialized; by the time static
    // objects are destroyed it may be gone already, so it is left alone.
    ~Module() {
        if (initialized_) {
            hsm_.abandon();
        }
    }

    // One insertion of one card and the SoftHSM2 token it is bound to.
    struct Binding {
        unsigned events = 0;
        std::string serial;  // "" until read
        CK_SLOT_ID hsmSlot = 0;
        std::uint64_t generation = 0;
        bool bound = false;
    };
    struct SessionRecord {
        std::string reader;
        unsigned events = 0;
        CK_SLOT_ID slot = 0;  // ours, at opening
        CK_SESSION_HANDLE real = CK_INVALID_HANDLE;
        std::uint64_t generation = 0;
        bool removed = false;  // the card left: the next call reports it once
    };

    void refresh();
    // Inside a session call: the settings of the session's token and its SoftHSM2 slot; null
    // when the session's card is no longer bound.
    const TokenSpec* dialogSpecOf(CK_SESSION_HANDLE session, CK_SLOT_ID* hsmSlot);
    static int pinTries(CK_FUNCTION_LIST* f, CK_SLOT_ID hsmSlot, bool so);
    std::optional<ReaderState> readerOf(CK_SLOT_ID slot);
    // The binding of the card now in the reader, bound to its token; rv when that fails.
    CK_RV bind(const ReaderState& reader, Binding** out);
    // The token of the card in the reader of `slot`, after a refresh of the readers: bound as
    // bind() does, or the code a slot call returns when there is none.
    CK_RV boundToken(CK_SLOT_ID slot, Binding** out);
    const TokenSpec& specOf(const Binding& b) const { return config_.forSerial(b.serial); }
    void cardGone(const std::string& reader, unsigned events);
    void dropStaleSessions();
    // pcsc-lite reported insertion `events` present in `reader` just now.
    void confirm(const std::string& reader, unsigned events);
    // Whether the session's card may be taken as present without asking pcsc-lite.
    bool presenceFresh(const SessionRecord& s) const;

    std::recursive_mutex mutex_;
    bool initialized_ = false;
    std::string lastError_;
    Config config_;
    Pcsc pcsc_;
    SoftHsm hsm_;
    std::vector<ReaderState> readers_;
    std::map<std::string, Binding> bindings_;  // by reader name
    std::map<CK_SESSION_HANDLE, SessionRecord> sessions_;
    CK_SESSION_HANDLE nextSession_ = 1;
    // By reader: the insertion pcsc-lite last reported present there, and when it did.
    struct Confirmation {
        unsigned events = 0;
        Clock::time_point at;
    };
    std::map<std::string, Confirmation> confirmed_;
    Clock::time_point lastCallEnd_;
};

}  // namespace cardtoken
