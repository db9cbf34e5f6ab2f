// Slots from readers, tokens from cards, sessions tied to one insertion of one card.
#include "module.h"

#include "objects.h"
#include "pin_plugin.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cardtoken {
namespace {

constexpr const char* kManufacturer = "Vantor Bench";

// A presence query costs two round trips to pcscd (about 0.08 ms), as much as a small signature
// on SoftHSM2. A call that only reads cached state trusts the last confirmation while calls
// follow each other within kBurstGap (one operation's calls, such as a session check, a key
// check and a signature) and for at most kPresenceTtl. Whoever learns of a removal in between
// (a poll of pcsc-lite, a test removing a card) needs longer than kBurstGap to do it, so the
// next call asks pcsc-lite again and sees the removal.
constexpr auto kBurstGap = std::chrono::milliseconds(1);
constexpr auto kPresenceTtl = std::chrono::milliseconds(20);

template <std::size_t N>
void pad(CK_UTF8CHAR (&field)[N], const std::string& text) {
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

// A protected-path login without a PIN takes the configured one, as the PIN pad would.
const Secret& configuredPin(const TokenSpec& spec, CK_USER_TYPE user) {
    return user == CKU_SO ? spec.soPin : spec.userPin;
}

}  // namespace

Module& Module::instance() {
    static Module m;
    return m;
}

CK_RV Module::initialize(CK_VOID_PTR args) {
    if (initialized_) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    if (args != nullptr) {
        const auto* a = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
        if (a->pReserved != nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const int given = (a->CreateMutex != nullptr) + (a->DestroyMutex != nullptr) +
                          (a->LockMutex != nullptr) + (a->UnlockMutex != nullptr);
        if (given != 0 && given != 4) {
            return CKR_ARGUMENTS_BAD;
        }
        // Every call is serialised on our own OS mutex; callbacks alone cannot be honoured.
        if (given == 4 && (a->flags & CKF_OS_LOCKING_OK) == 0) {
            return CKR_CANT_LOCK;
        }
    }
    lastError_.clear();
    try {
        const char* path = std::getenv("CARDTOKEN_CONF");
        if (path == nullptr || *path == 0) {
            throw ConfigError("CARDTOKEN_CONF is not set (it names the configuration file)");
        }
        Config config = loadConfig(path);
        // Every object file is read once now, so a bad one refuses the start and not a card.
        auto check = [](const TokenSpec& t) {
            for (const ObjectSpec& o : t.objects) {
                readObjects(o);
            }
        };
        check(config.defaults);
        for (const auto& [serial, spec] : config.cards) {
            check(spec);
        }
        hsm_.start(config);
        config_ = std::move(config);
    } catch (const ConfigError& e) {
        lastError_ = e.what();
        std::fprintf(stderr, "cardtoken: C_Initialize refused: %s\n", lastError_.c_str());
        return CKR_GENERAL_ERROR;
    }
    readers_.clear();
    bindings_.clear();
    sessions_.clear();
    confirmed_.clear();
    initialized_ = true;
    return CKR_OK;
}

CK_RV Module::finalize(CK_VOID_PTR reserved) {
    if (reserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (!initialized_) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    sessions_.clear();  // SoftHSM2 closes its sessions itself in C_Finalize
    bindings_.clear();
    confirmed_.clear();
    readers_.clear();
    hsm_.stop();
    config_ = Config();
    initialized_ = false;
    return CKR_OK;
}

CK_RV Module::getInfo(CK_INFO_PTR info) {
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    pad(info->manufacturerID, kManufacturer);
    pad(info->libraryDescription, "Reader-slot token module");
    info->libraryVersion = {1, 0};
    return CKR_OK;
}

void Module::confirm(const std::string& reader, unsigned events) {
    confirmed_[reader] = Confirmation{events, Clock::now()};
}

bool Module::presenceFresh(const SessionRecord& s) const {
    const auto it = confirmed_.find(s.reader);
    if (it == confirmed_.end() || it->second.events != s.events) {
        return false;
    }
    const auto now = Clock::now();
    return now - lastCallEnd_ <= kBurstGap && now - it->second.at <= kPresenceTtl;
}

void Module::cardGone(const std::string& reader, unsigned events) {
    const auto c = confirmed_.find(reader);
    if (c != confirmed_.end() && c->second.events == events) {
        confirmed_.erase(c);
    }
    for (auto& [handle, s] : sessions_) {
        if (s.reader == reader && s.events == events && !s.removed) {
            if (s.generation == hsm_.generation()) {
                hsm_.functions()->C_CloseSession(s.real);
            }
            s.removed = true;
        }
    }
}

void Module::refresh() {
    readers_ = pcsc_.snapshot();
    confirmed_.clear();
    for (const ReaderState& r : readers_) {
        if (r.present) {
            confirm(r.name, r.events);
        }
    }
    for (auto it = bindings_.begin(); it != bindings_.end();) {
        const auto r = std::find_if(readers_.begin(), readers_.end(),
                                    [&](const ReaderState& s) { return s.name == it->first; });
        if (r == readers_.end() || !r->present || r->events != it->second.events) {
            cardGone(it->first, it->second.events);
            it = bindings_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<ReaderState> Module::readerOf(CK_SLOT_ID slot) {
    if (slot < 1 || slot > readers_.size()) {
        return std::nullopt;
    }
    return readers_[slot - 1];
}

CK_RV Module::bind(const ReaderState& reader, Binding** out) {
    auto it = bindings_.find(reader.name);
    if (it != bindings_.end() && it->second.events != reader.events) {
        cardGone(reader.name, it->second.events);
        bindings_.erase(it);
        it = bindings_.end();
    }
    if (it == bindings_.end()) {
        // The serial is read once per insertion: later calls find it here.
        const auto serial = pcsc_.readSerial(reader.name, reader.atr);
        if (!serial) {
            lastError_ = "the card in " + reader.name + " did not answer the serial read";
            return CKR_DEVICE_ERROR;
        }
        Binding b;
        b.events = reader.events;
        b.serial = *serial;
        it = bindings_.emplace(reader.name, std::move(b)).first;
    }
    Binding& b = it->second;
    if (!b.bound || b.generation != hsm_.generation()) {
        std::string why;
        const CK_RV rv = hsm_.slotFor(b.serial, specOf(b), &b.hsmSlot, &why);
        if (rv != CKR_OK) {
            lastError_ = "card " + b.serial + ": " + why;
            std::fprintf(stderr, "cardtoken: %s\n", lastError_.c_str());
            return rv;
        }
        b.bound = true;
        b.generation = hsm_.generation();
    }
    *out = &b;
    return CKR_OK;
}

CK_RV Module::getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    refresh();
    std::vector<CK_SLOT_ID> ids;
    for (std::size_t i = 0; i < readers_.size(); ++i) {
        if (!tokenPresent || readers_[i].present) {
            ids.push_back(i + 1);
        }
    }
    if (list == nullptr) {
        *count = ids.size();
        return CKR_OK;
    }
    if (*count < ids.size()) {
        *count = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
    return CKR_OK;
}

CK_RV Module::boundToken(CK_SLOT_ID slot, Binding** out) {
    refresh();
    const auto reader = readerOf(slot);
    if (!reader) {
        return CKR_SLOT_ID_INVALID;
    }
    if (!reader->present) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    if (const CK_RV rv = bind(*reader, out); rv != CKR_OK) {
        return rv == CKR_DEVICE_ERROR ? rv : CKR_TOKEN_NOT_RECOGNIZED;
    }
    return CKR_OK;
}

CK_RV Module::getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    refresh();
    const auto reader = readerOf(slot);
    if (!reader) {
        return CKR_SLOT_ID_INVALID;
    }
    std::memset(info, 0, sizeof *info);
    pad(info->slotDescription, reader->name);
    pad(info->manufacturerID, kManufacturer);
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (reader->present ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion = {1, 0};
    info->firmwareVersion = {1, 0};
    return CKR_OK;
}

CK_RV Module::getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    Binding* b = nullptr;
    if (const CK_RV rv = boundToken(slot, &b); rv != CKR_OK) {
        return rv;
    }
    if (const CK_RV rv = hsm_.functions()->C_GetTokenInfo(b->hsmSlot, info); rv != CKR_OK) {
        return rv;
    }
    const TokenSpec& spec = specOf(*b);
    const std::string label = hsm_.labelOverride(b->serial);
    pad(info->label, label.empty() ? spec.label : label);
    pad(info->manufacturerID, spec.manufacturer);
    pad(info->model, spec.model);
    pad(info->serialNumber, b->serial);
    if (spec.protectedPath) {
        info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    }
    return CKR_OK;
}

CK_RV Module::onSlot(CK_SLOT_ID slot,
                     const std::function<CK_RV(CK_FUNCTION_LIST*, CK_SLOT_ID)>& call) {
    Binding* b = nullptr;
    if (const CK_RV rv = boundToken(slot, &b); rv != CKR_OK) {
        return rv;
    }
    return call(hsm_.functions(), b->hsmSlot);
}

CK_RV Module::initToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen,
                        CK_UTF8CHAR_PTR label) {
    if (label == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::string serial;
    const CK_RV rv = onSlot(slot, [&](CK_FUNCTION_LIST* f, CK_SLOT_ID real) {
        const Binding& b = bindings_.at(readers_[slot - 1].name);
        serial = b.serial;
        const TokenSpec& spec = specOf(b);
        CK_UTF8CHAR_PTR p = pin;
        CK_ULONG n = pinLen;
        if ((p == nullptr || n == 0) && spec.protectedPath) {
            p = const_cast<CK_UTF8CHAR_PTR>(spec.soPin.data());
            n = spec.soPin.size();
        }
        // SoftHSM2 keeps the label that binds the token to its card; the caller's label is
        // presented instead.
        CK_UTF8CHAR binding[32];
        pad(binding, SoftHsm::bindingLabel(b.serial));
        return f->C_InitToken(real, p, n, binding);
    });
    if (rv == CKR_OK) {
        std::string text(reinterpret_cast<const char*>(label), 32);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
            text.pop_back();
        }
        try {
            hsm_.setLabelOverride(serial, text);
        } catch (const ConfigError& e) {
            lastError_ = e.what();
            return CKR_DEVICE_ERROR;
        }
    }
    return rv;
}

CK_RV Module::openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                          CK_SESSION_HANDLE_PTR session) {
    if (session == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_SESSION_HANDLE real = CK_INVALID_HANDLE;
    const CK_RV rv = onSlot(slot, [&](CK_FUNCTION_LIST* f, CK_SLOT_ID hsmSlot) {
        return f->C_OpenSession(hsmSlot, flags, app, notify, &real);
    });
    if (rv != CKR_OK) {
        return rv;
    }
    const ReaderState& reader = readers_[slot - 1];
    SessionRecord s;
    s.reader = reader.name;
    s.events = reader.events;
    s.slot = slot;
    s.real = real;
    s.generation = hsm_.generation();
    const CK_SESSION_HANDLE h = nextSession_++;
    sessions_.emplace(h, std::move(s));
    *session = h;
    return CKR_OK;
}

CK_RV Module::onSession(CK_SESSION_HANDLE session,
                        const std::function<CK_RV(CK_FUNCTION_LIST*, CK_SESSION_HANDLE)>& call,
                        Touch touch) {
    const auto it = sessions_.find(session);
    if (it == sessions_.end()) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    SessionRecord& s = it->second;
    if (s.generation != hsm_.generation()) {
        sessions_.erase(it);
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (s.removed) {
        sessions_.erase(it);
        return CKR_DEVICE_REMOVED;
    }
    if (touch == Touch::CachedState && presenceFresh(s)) {
        return call(hsm_.functions(), s.real);
    }
    // One zero-timeout status query: the card must be the one this session was opened on.
    const auto now = pcsc_.status(s.reader);
    if (now && now->present) {
        confirm(s.reader, now->events);
    } else {
        confirmed_.erase(s.reader);
    }
    if (!now || !now->present || now->events != s.events) {
        const std::string reader = s.reader;
        const unsigned events = s.events;
        cardGone(reader, events);
        sessions_.erase(session);
        const auto b = bindings_.find(reader);
        if (b != bindings_.end() && b->second.events == events) {
            bindings_.erase(b);
        }
        return CKR_DEVICE_REMOVED;
    }
    return call(hsm_.functions(), s.real);
}

CK_RV Module::closeSession(CK_SESSION_HANDLE session) {
    const CK_RV rv = onSession(session, [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE real) {
        return f->C_CloseSession(real);
    });
    sessions_.erase(session);
    // The card already took the session with it: closing it is done.
    return rv == CKR_DEVICE_REMOVED ? CKR_OK : rv;
}

CK_RV Module::closeAllSessions(CK_SLOT_ID slot) {
    refresh();
    const auto reader = readerOf(slot);
    if (!reader) {
        return CKR_SLOT_ID_INVALID;
    }
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second.reader == reader->name) {
            if (!it->second.removed && it->second.generation == hsm_.generation()) {
                hsm_.functions()->C_CloseSession(it->second.real);
            }
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return CKR_OK;
}

CK_RV Module::getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const CK_RV rv = onSession(
        session,
        [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE real) {
            return f->C_GetSessionInfo(real, info);
        },
        Touch::CachedState);
    if (rv == CKR_OK) {
        info->slotID = sessions_.at(session).slot;
    }
    return rv;
}

const TokenSpec* Module::dialogSpecOf(CK_SESSION_HANDLE session, CK_SLOT_ID* hsmSlot) {
    const SessionRecord& s = sessions_.at(session);
    const auto b = bindings_.find(s.reader);
    if (b == bindings_.end() || b->second.events != s.events) {
        return nullptr;
    }
    *hsmSlot = b->second.hsmSlot;
    return &specOf(b->second);
}

int Module::pinTries(CK_FUNCTION_LIST* f, CK_SLOT_ID hsmSlot, bool so) {
    CK_TOKEN_INFO info{};
    return f->C_GetTokenInfo(hsmSlot, &info) == CKR_OK ? triesLeft(info.flags, so) : kMaxPinTries;
}

CK_RV Module::login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                    CK_ULONG pinLen) {
    return onSession(session, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE real) {
        // The pad is asked for with no PIN: a null pointer as the standard says, or an empty
        // PIN as a PIN dialog that found a protected-path token submits it.
        if (pin == nullptr || pinLen == 0) {
            CK_SLOT_ID hsmSlot = 0;
            const TokenSpec* spec = dialogSpecOf(session, &hsmSlot);
            if (spec != nullptr && spec->protectedPath) {
                if (spec->pinDialog && user == CKU_USER) {
                    return withPluginPins(
                        0, pinTries(f, hsmSlot, false),
                        [&](const CK_UTF8CHAR* p, CK_ULONG n, const CK_UTF8CHAR*, CK_ULONG) {
                            return f->C_Login(real, user, const_cast<CK_UTF8CHAR_PTR>(p), n);
                        });
                }
                const Secret& p = configuredPin(*spec, user);
                return f->C_Login(real, user, const_cast<CK_UTF8CHAR_PTR>(p.data()), p.size());
            }
        }
        return f->C_Login(real, user, pin, pinLen);
    });
}

CK_RV Module::setPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen,
                     CK_UTF8CHAR_PTR newPin, CK_ULONG newLen) {
    return onSession(session, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE real) {
        CK_SLOT_ID hsmSlot = 0;
        const TokenSpec* spec =
            oldPin == nullptr && newPin == nullptr ? dialogSpecOf(session, &hsmSlot) : nullptr;
        if (spec != nullptr && spec->protectedPath && spec->pinDialog) {
            // The change dialog gives the new PIN first and the old one second.
            return withPluginPins(
                4, pinTries(f, hsmSlot, false),
                [&](const CK_UTF8CHAR* np, CK_ULONG nn, const CK_UTF8CHAR* op, CK_ULONG on) {
                    return f->C_SetPIN(real, const_cast<CK_UTF8CHAR_PTR>(op), on,
                                       const_cast<CK_UTF8CHAR_PTR>(np), nn);
                });
        }
        return f->C_SetPIN(real, oldPin, oldLen, newPin, newLen);
    });
}

CK_RV Module::initPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen) {
    return onSession(session, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE real) {
        CK_SLOT_ID hsmSlot = 0;
        const TokenSpec* spec = pin == nullptr ? dialogSpecOf(session, &hsmSlot) : nullptr;
        if (spec != nullptr && spec->protectedPath && spec->pinDialog) {
            // Unblock: the PUK is the token's SO PIN. A session not yet in SO state logs in with
            // it for this call only.
            return withPluginPins(
                3, pinTries(f, hsmSlot, true),
                [&](const CK_UTF8CHAR* np, CK_ULONG nn, const CK_UTF8CHAR* puk, CK_ULONG pn) {
                    CK_SESSION_INFO info{};
                    CK_RV rv = f->C_GetSessionInfo(real, &info);
                    if (rv != CKR_OK) {
                        return rv;
                    }
                    const bool wasSo = info.state == CKS_RW_SO_FUNCTIONS;
                    if (!wasSo) {
                        rv = f->C_Login(real, CKU_SO, const_cast<CK_UTF8CHAR_PTR>(puk), pn);
                        if (rv != CKR_OK) {
                            return rv;
                        }
                    }
                    rv = f->C_InitPIN(real, const_cast<CK_UTF8CHAR_PTR>(np), nn);
                    if (!wasSo) {
                        f->C_Logout(real);
                    }
                    return rv;
                });
        }
        return f->C_InitPIN(real, pin, pinLen);
    });
}

}  // namespace cardtoken
