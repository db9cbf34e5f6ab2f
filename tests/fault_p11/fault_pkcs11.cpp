// fault_pkcs11.so: a small PKCS#11 module that misbehaves on demand (foreign initialization, many
// slots, chosen failures, odd labels) and records call counts and overlapping calls.
#include "fault_config.h"
#include "fault_control.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vantor::faultp11 {
namespace {

using Bytes = std::vector<CK_BYTE>;

// Storage for PINs that is zeroed whenever it is freed.
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        volatile unsigned char* bytes = reinterpret_cast<volatile unsigned char*>(p);
        for (std::size_t i = 0; i < n * sizeof(T); ++i) {
            bytes[i] = 0;
        }
        std::allocator<T>{}.deallocate(p, n);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};
using Pin = std::vector<CK_UTF8CHAR, WipingAllocator<CK_UTF8CHAR>>;

Pin makePin(const CK_UTF8CHAR* p, CK_ULONG n) {
    return Pin(p, p + n);
}
Pin makePin(const std::string& s) {
    return makePin(reinterpret_cast<const CK_UTF8CHAR*>(s.data()), s.size());
}

constexpr CK_ULONG kMinPin = 4;
constexpr CK_ULONG kMaxPin = 32;
constexpr const char* kManufacturer = "Vantor Fault Module";

struct Object {
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    CK_SESSION_HANDLE session = 0;  // the session that made a session object; 0 for token objects
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attrs;
    std::set<CK_ATTRIBUTE_TYPE> sensitive;  // present but never revealed

    bool isPrivate() const {
        const auto it = attrs.find(CKA_PRIVATE);
        return it != attrs.end() && !it->second.empty() && it->second[0] != 0;
    }
};

struct Token {
    CK_SLOT_ID id = 0;
    TokenKind kind = TokenKind::Present;
    CK_UTF8CHAR label[32] = {};
    CK_UTF8CHAR manufacturer[32] = {};
    CK_UTF8CHAR model[16] = {};
    CK_UTF8CHAR serial[16] = {};
    Pin soPin, userPin;
    bool userPinSet = false;
    unsigned long soTries = 0, userTries = 0;
    // By handle; handles only grow, so this is also the order of creation.
    std::map<CK_OBJECT_HANDLE, Object> objects;
    bool loggedIn = false;
    CK_USER_TYPE user = CKU_USER;  // meaningful while loggedIn
};

struct Session {
    std::size_t token = 0;  // index into Module::tokens
    CK_FLAGS flags = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t next = 0;
};

Bytes ulongBytes(CK_ULONG v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}
Bytes boolBytes(bool v) {
    return Bytes{static_cast<CK_BYTE>(v ? CK_TRUE : CK_FALSE)};
}
Bytes textBytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

struct Module {
    std::mutex mutex;  // guards everything below except the atomics
    Config config;
    std::string configError;  // set when the environment's configuration was refused
    std::string lastRefusal;  // why the last FaultP11_Configure was refused; "" after a success
    bool initialized = false;
    bool initArgsNull = false;
    std::vector<Token> tokens;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextObject = 1;

    std::array<std::atomic<unsigned long>, static_cast<std::size_t>(Fn::Count)> calls{};
    std::atomic<int> inFlight{0};
    std::atomic<int> current{0};
    std::atomic<unsigned long> overlaps{0};
    std::atomic<unsigned long> delayMicros{1000};
    std::mutex overlapMutex;
    std::string firstOverlap;

    Module() {
        Config initial;
        if (const char* env = std::getenv("FAULT_P11_CONFIG"); env != nullptr) {
            std::string why;
            if (auto parsed = ParseConfig(env, &why)) {
                initial = std::move(*parsed);
            } else {
                configError = "FAULT_P11_CONFIG: " + why;
            }
        }
        apply(std::move(initial));
    }

    // Replaces the whole state: tokens rebuilt, sessions dropped, counters zeroed. Held lock.
    void apply(Config c) {
        config = std::move(c);
        sessions.clear();
        tokens.clear();
        nextSession = 1;
        nextObject = 1;
        initialized = config.preinitialized;
        initArgsNull = false;
        for (unsigned long i = 0; i < config.slots; ++i) {
            tokens.push_back(makeToken(config.firstSlot + i));
        }
        resetCounts();
        delayMicros = config.delayMicros;
    }

    void resetCounts() {
        for (auto& c : calls) {
            c = 0;
        }
        overlaps = 0;
        std::lock_guard lock(overlapMutex);
        firstOverlap.clear();
    }

    Token makeToken(CK_SLOT_ID id) {
        Token t;
        t.id = id;
        t.kind = config.kindOf(id);
        auto text = [&](const std::map<CK_SLOT_ID, std::string>& m, const std::string& fallback) {
            const auto it = m.find(id);
            return it == m.end() ? fallback : it->second;
        };
        const bool initializedToken = t.kind == TokenKind::Present;
        pkcs11::PadField(
            t.label, text(config.labels,
                          initializedToken ? "Fault Token " + std::to_string(id) : std::string()));
        pkcs11::PadField(t.manufacturer, text(config.manufacturers, kManufacturer));
        pkcs11::PadField(t.model, text(config.models, "FaultToken"));
        pkcs11::PadField(t.serial, text(config.serials, "FT" + std::to_string(id)));
        t.soTries = t.userTries = config.pinTries;
        if (initializedToken) {
            t.soPin = makePin(config.soPin);
            if (config.noUserPin.count(id) == 0) {
                t.userPin = makePin(config.userPin);
                t.userPinSet = true;
            }
            addStandardObjects(t);
        }
        return t;
    }

    Object& addObject(Token& t) {
        const CK_OBJECT_HANDLE handle = nextObject++;
        Object& o = t.objects[handle];
        o.handle = handle;
        o.attrs[CKA_TOKEN] = boolBytes(true);
        o.attrs[CKA_MODIFIABLE] = boolBytes(true);
        return o;
    }

    // The objects every initialized token starts with: public and private data, a certificate
    // and an RSA key pair sharing one CKA_ID, then the configured number of extra data objects.
    void addStandardObjects(Token& t) {
        {
            Object& o = addObject(t);
            o.attrs[CKA_CLASS] = ulongBytes(CKO_DATA);
            o.attrs[CKA_PRIVATE] = boolBytes(false);
            o.attrs[CKA_LABEL] = textBytes("Fault Data");
            o.attrs[CKA_APPLICATION] = textBytes("fault");
            o.attrs[CKA_VALUE] = textBytes("public data");
        }
        {
            Object& o = addObject(t);
            o.attrs[CKA_CLASS] = ulongBytes(CKO_DATA);
            o.attrs[CKA_PRIVATE] = boolBytes(true);
            o.attrs[CKA_LABEL] = textBytes("Fault Private Data");
            o.attrs[CKA_APPLICATION] = textBytes("fault");
            o.attrs[CKA_VALUE] = textBytes("private data");
        }
        const Bytes id = {0x01, 0xA5};
        const Bytes modulus = {0xC3, 0x5A, 0x11, 0x8F, 0x42, 0x07, 0x9D, 0xE1,
                               0x6B, 0x30, 0xF4, 0x28, 0x95, 0x5C, 0x7A, 0x01};
        {
            // Not a parsable certificate: the module only stores and returns bytes.
            Object& o = addObject(t);
            o.attrs[CKA_CLASS] = ulongBytes(CKO_CERTIFICATE);
            o.attrs[CKA_CERTIFICATE_TYPE] = ulongBytes(CKC_X_509);
            o.attrs[CKA_PRIVATE] = boolBytes(false);
            o.attrs[CKA_TRUSTED] = boolBytes(false);
            o.attrs[CKA_LABEL] = textBytes("Fault Certificate");
            o.attrs[CKA_ID] = id;
            o.attrs[CKA_SUBJECT] = {0x30, 0x00};
            o.attrs[CKA_VALUE] = {0x30, 0x03, 0x02, 0x01, 0x01};
            o.attrs[CKA_START_DATE] = textBytes("20050101");
            o.attrs[CKA_END_DATE] = textBytes("20051231");
        }
        {
            Object& o = addObject(t);
            o.attrs[CKA_CLASS] = ulongBytes(CKO_PUBLIC_KEY);
            o.attrs[CKA_KEY_TYPE] = ulongBytes(CKK_RSA);
            o.attrs[CKA_PRIVATE] = boolBytes(false);
            o.attrs[CKA_LABEL] = textBytes("Fault Key");
            o.attrs[CKA_ID] = id;
            o.attrs[CKA_VERIFY] = boolBytes(true);
            o.attrs[CKA_MODULUS] = modulus;
            o.attrs[CKA_MODULUS_BITS] = ulongBytes(modulus.size() * 8);
            o.attrs[CKA_PUBLIC_EXPONENT] = {0x01, 0x00, 0x01};
        }
        {
            Object& o = addObject(t);
            o.attrs[CKA_CLASS] = ulongBytes(CKO_PRIVATE_KEY);
            o.attrs[CKA_KEY_TYPE] = ulongBytes(CKK_RSA);
            o.attrs[CKA_PRIVATE] = boolBytes(true);
            o.attrs[CKA_SENSITIVE] = boolBytes(true);
            o.attrs[CKA_SIGN] = boolBytes(true);
            o.attrs[CKA_DECRYPT] = boolBytes(true);
            o.attrs[CKA_LABEL] = textBytes("Fault Key");
            o.attrs[CKA_ID] = id;
            o.attrs[CKA_MODULUS] = modulus;
            o.attrs[CKA_PUBLIC_EXPONENT] = {0x01, 0x00, 0x01};
            o.attrs[CKA_PRIVATE_EXPONENT] = Bytes(modulus.size(), 0x5A);
            o.sensitive.insert(CKA_PRIVATE_EXPONENT);
        }
        for (unsigned long k = 1; k <= config.extraObjects; ++k) {
            Object& o = addObject(t);
            o.attrs[CKA_CLASS] = ulongBytes(CKO_DATA);
            o.attrs[CKA_PRIVATE] = boolBytes(false);
            o.attrs[CKA_LABEL] = textBytes("Fault Data " + std::to_string(k));
            o.attrs[CKA_APPLICATION] = textBytes("fault extra");
            o.attrs[CKA_VALUE] = textBytes(std::to_string(k));
        }
    }

    // The rule that makes the k-th call of fn fail, if any.
    const FailRule* rule(Fn fn, unsigned long k) const {
        for (const FailRule& r : config.failures) {
            if (r.fn == fn && (r.at == 0 || k == r.at || (r.orLater && k > r.at))) {
                return &r;
            }
        }
        return nullptr;
    }

    Token* token(CK_SLOT_ID id) {
        if (id < config.firstSlot || id - config.firstSlot >= tokens.size()) {
            return nullptr;
        }
        return &tokens[id - config.firstSlot];
    }

    Session* session(CK_SESSION_HANDLE h) {
        const auto it = sessions.find(h);
        return it == sessions.end() ? nullptr : &it->second;
    }

    std::size_t sessionsOn(std::size_t token, bool rwOnly = false) const {
        std::size_t n = 0;
        for (const auto& [h, s] : sessions) {
            if (s.token == token && (!rwOnly || (s.flags & CKF_RW_SESSION) != 0)) {
                ++n;
            }
        }
        return n;
    }

    // Visible objects: private ones only while the user is logged in.
    static bool visible(const Token& t, const Object& o) {
        return !o.isPrivate() || (t.loggedIn && t.user == CKU_USER);
    }
    static Object* object(Token& t, CK_OBJECT_HANDLE h) {
        const auto it = t.objects.find(h);
        return it != t.objects.end() && visible(t, it->second) ? &it->second : nullptr;
    }

    // Session objects end with the session that made them.
    void dropSessionObjects(CK_SESSION_HANDLE h) {
        for (Token& t : tokens) {
            std::erase_if(t.objects, [h](const auto& entry) { return entry.second.session == h; });
        }
    }

    void logout(Token& t) {
        t.loggedIn = false;
        for (auto& [h, s] : sessions) {
            if (&tokens[s.token] == &t) {
                s.finding = false;
                s.found.clear();
            }
        }
    }
};

Module& M() {
    static Module module;
    return module;
}

// Marks a call in flight for its whole duration; a call that starts while another is in flight
// is an overlap. The sleep widens the window so that unserialised callers are caught.
class InFlight {
  public:
    InFlight(Module& m, Fn fn) : m_(m) {
        if (m_.inFlight.fetch_add(1) > 0) {
            ++m_.overlaps;
            std::lock_guard lock(m_.overlapMutex);
            if (m_.firstOverlap.empty()) {
                m_.firstOverlap = std::string(FnName(fn)) + " during " +
                                  FnName(static_cast<Fn>(m_.current.load()));
            }
        }
        m_.current = static_cast<int>(fn);
        if (const unsigned long us = m_.delayMicros.load(); us > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        }
    }
    ~InFlight() { m_.inFlight.fetch_sub(1); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

  private:
    Module& m_;
};

// The frame of every entry point: count, mark in flight, apply a configured failure, run the
// body under the module lock, and never let an exception out of the library.
template <typename Body>
CK_RV guarded(Fn fn, Body&& body) noexcept {
    try {
        Module& m = M();
        const unsigned long k = ++m.calls[static_cast<std::size_t>(fn)];
        InFlight mark(m, fn);
        std::lock_guard lock(m.mutex);
        if (const FailRule* r = m.rule(fn, k)) {
            return r->rv;
        }
        return body(m);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// ---- general purpose -------------------------------------------------------------------------

CK_RV Initialize(CK_VOID_PTR args) {
    return guarded(Fn::Initialize, [&](Module& m) -> CK_RV {
        if (!m.configError.empty()) {
            return CKR_GENERAL_ERROR;
        }
        if (args != nullptr) {
            const auto* a = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
            if (a->pReserved != nullptr) {
                return CKR_ARGUMENTS_BAD;
            }
        }
        if (m.initialized) {
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        }
        m.initialized = true;
        m.initArgsNull = args == nullptr;
        return CKR_OK;
    });
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    return guarded(Fn::Finalize, [&](Module& m) -> CK_RV {
        if (reserved != nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        m.sessions.clear();
        for (Token& t : m.tokens) {
            t.loggedIn = false;
            std::erase_if(t.objects, [](const auto& entry) { return entry.second.session != 0; });
        }
        m.initialized = false;
        return CKR_OK;
    });
}

CK_RV GetInfo(CK_INFO_PTR info) {
    return guarded(Fn::GetInfo, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        if (info == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(info, 0, sizeof *info);
        info->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
        pkcs11::PadField(info->manufacturerID, kManufacturer);
        pkcs11::PadField(info->libraryDescription, "Fault-injecting test module");
        info->libraryVersion = {1, 0};
        return CKR_OK;
    });
}

// ---- slots and tokens ------------------------------------------------------------------------

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    return guarded(Fn::GetSlotList, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        if (count == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::vector<CK_SLOT_ID> ids;
        for (const Token& t : m.tokens) {
            if (tokenPresent == CK_FALSE || t.kind != TokenKind::Empty) {
                ids.push_back(t.id);
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
    });
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    return guarded(Fn::GetSlotInfo, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        const Token* t = m.token(slot);
        if (t == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (info == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(info, 0, sizeof *info);
        pkcs11::PadField(info->slotDescription, "Fault slot " + std::to_string(slot));
        pkcs11::PadField(info->manufacturerID, kManufacturer);
        info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
        if (t->kind != TokenKind::Empty) {
            info->flags |= CKF_TOKEN_PRESENT;
        }
        info->hardwareVersion = {1, 0};
        info->firmwareVersion = {1, 0};
        return CKR_OK;
    });
}

CK_FLAGS tokenFlags(const Token& t) {
    CK_FLAGS f = CKF_LOGIN_REQUIRED;
    if (t.kind == TokenKind::Present) {
        f |= CKF_TOKEN_INITIALIZED;
    }
    if (t.userPinSet) {
        f |= CKF_USER_PIN_INITIALIZED;
    }
    if (t.userTries == 0) {
        f |= CKF_USER_PIN_LOCKED;
    } else if (t.userTries == 1) {
        f |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
    }
    if (t.soTries == 0) {
        f |= CKF_SO_PIN_LOCKED;
    } else if (t.soTries == 1) {
        f |= CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_COUNT_LOW;
    }
    return f;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    return guarded(Fn::GetTokenInfo, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        const Token* t = m.token(slot);
        if (t == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (t->kind == TokenKind::Empty) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (t->kind == TokenKind::Foreign) {
            return CKR_TOKEN_NOT_RECOGNIZED;
        }
        if (info == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(info, 0, sizeof *info);
        std::memcpy(info->label, t->label, sizeof info->label);
        std::memcpy(info->manufacturerID, t->manufacturer, sizeof info->manufacturerID);
        std::memcpy(info->model, t->model, sizeof info->model);
        std::memcpy(info->serialNumber, t->serial, sizeof info->serialNumber);
        info->flags = tokenFlags(*t);
        const std::size_t index = static_cast<std::size_t>(t - m.tokens.data());
        info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulSessionCount = m.sessionsOn(index);
        info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulRwSessionCount = m.sessionsOn(index, true);
        info->ulMaxPinLen = kMaxPin;
        info->ulMinPinLen = kMinPin;
        info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->hardwareVersion = {1, 0};
        info->firmwareVersion = {1, 0};
        std::memset(info->utcTime, ' ', sizeof info->utcTime);
        return CKR_OK;
    });
}

bool pinMatches(const Pin& expected, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
    if (pin == nullptr && len > 0) {
        return false;
    }
    if (expected.size() != len) {
        return false;
    }
    unsigned char diff = 0;
    for (CK_ULONG i = 0; i < len; ++i) {
        diff |= static_cast<unsigned char>(expected[i] ^ pin[i]);
    }
    return diff == 0;
}

CK_RV InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen, CK_UTF8CHAR_PTR label) {
    return guarded(Fn::InitToken, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Token* t = m.token(slot);
        if (t == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (t->kind == TokenKind::Empty) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (t->kind == TokenKind::Foreign) {
            return CKR_TOKEN_NOT_RECOGNIZED;
        }
        if (label == nullptr || (pin == nullptr && pinLen > 0)) {
            return CKR_ARGUMENTS_BAD;
        }
        if (m.sessionsOn(static_cast<std::size_t>(t - m.tokens.data())) > 0) {
            return CKR_SESSION_EXISTS;
        }
        if (t->kind == TokenKind::Present) {
            if (t->soTries == 0) {
                return CKR_PIN_LOCKED;
            }
            if (!pinMatches(t->soPin, pin, pinLen)) {
                --t->soTries;
                return CKR_PIN_INCORRECT;
            }
        } else if (pinLen < kMinPin || pinLen > kMaxPin) {
            return CKR_PIN_LEN_RANGE;
        } else {
            t->soPin = makePin(pin, pinLen);
        }
        // The label is the 32-byte blank-padded field exactly as the caller passed it.
        std::memcpy(t->label, label, sizeof t->label);
        t->kind = TokenKind::Present;
        t->soTries = t->userTries = m.config.pinTries;
        t->userPin.clear();
        t->userPinSet = false;
        t->objects.clear();
        return CKR_OK;
    });
}

// ---- sessions ---------------------------------------------------------------------------------

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                  CK_SESSION_HANDLE_PTR handle) {
    return guarded(Fn::OpenSession, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Token* t = m.token(slot);
        if (t == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if ((flags & CKF_SERIAL_SESSION) == 0) {
            return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        }
        if (handle == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (t->kind == TokenKind::Empty) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (t->kind != TokenKind::Present) {
            return CKR_TOKEN_NOT_RECOGNIZED;
        }
        if ((flags & CKF_RW_SESSION) == 0 && t->loggedIn && t->user == CKU_SO) {
            return CKR_SESSION_READ_WRITE_SO_EXISTS;
        }
        Session s;
        s.token = static_cast<std::size_t>(t - m.tokens.data());
        s.flags = flags & (CKF_RW_SESSION | CKF_SERIAL_SESSION);
        const CK_SESSION_HANDLE h = m.nextSession++;
        m.sessions.emplace(h, std::move(s));
        *handle = h;
        return CKR_OK;
    });
}

void closeOne(Module& m, CK_SESSION_HANDLE h) {
    const std::size_t token = m.sessions.at(h).token;
    m.sessions.erase(h);
    m.dropSessionObjects(h);
    // The login state belongs to the application's sessions on the token: it ends with the last.
    if (m.sessionsOn(token) == 0) {
        m.tokens[token].loggedIn = false;
    }
}

CK_RV CloseSession(CK_SESSION_HANDLE h) {
    return guarded(Fn::CloseSession, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        if (m.session(h) == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        closeOne(m, h);
        return CKR_OK;
    });
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) {
    return guarded(Fn::CloseAllSessions, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Token* t = m.token(slot);
        if (t == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        const std::size_t index = static_cast<std::size_t>(t - m.tokens.data());
        std::erase_if(t->objects, [](const auto& entry) { return entry.second.session != 0; });
        std::erase_if(m.sessions, [&](const auto& entry) { return entry.second.token == index; });
        t->loggedIn = false;
        return CKR_OK;
    });
}

CK_STATE sessionState(const Token& t, const Session& s) {
    const bool rw = (s.flags & CKF_RW_SESSION) != 0;
    if (t.loggedIn && t.user == CKU_SO) {
        return CKS_RW_SO_FUNCTIONS;
    }
    if (t.loggedIn) {
        return rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    }
    return rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
    return guarded(Fn::GetSessionInfo, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        const Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (info == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const Token& t = m.tokens[s->token];
        info->slotID = t.id;
        info->state = sessionState(t, *s);
        info->flags = s->flags;
        info->ulDeviceError = 0;
        return CKR_OK;
    });
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
    return guarded(Fn::Login, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (user != CKU_SO && user != CKU_USER) {
            return CKR_USER_TYPE_INVALID;
        }
        if (pin == nullptr && len > 0) {
            return CKR_ARGUMENTS_BAD;
        }
        Token& t = m.tokens[s->token];
        if (t.loggedIn) {
            return t.user == user ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        }
        if (user == CKU_SO) {
            for (const auto& [other, os] : m.sessions) {
                if (os.token == s->token && (os.flags & CKF_RW_SESSION) == 0) {
                    return CKR_SESSION_READ_ONLY_EXISTS;
                }
            }
        }
        if (user == CKU_USER && !t.userPinSet) {
            return CKR_USER_PIN_NOT_INITIALIZED;
        }
        unsigned long& tries = user == CKU_SO ? t.soTries : t.userTries;
        if (tries == 0) {
            return CKR_PIN_LOCKED;
        }
        if (!pinMatches(user == CKU_SO ? t.soPin : t.userPin, pin, len)) {
            --tries;
            return CKR_PIN_INCORRECT;
        }
        tries = m.config.pinTries;
        t.loggedIn = true;
        t.user = user;
        return CKR_OK;
    });
}

CK_RV Logout(CK_SESSION_HANDLE h) {
    return guarded(Fn::Logout, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        Token& t = m.tokens[s->token];
        if (!t.loggedIn) {
            return CKR_USER_NOT_LOGGED_IN;
        }
        m.logout(t);
        return CKR_OK;
    });
}

CK_RV InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
    return guarded(Fn::InitPIN, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        Token& t = m.tokens[s->token];
        if (!t.loggedIn || t.user != CKU_SO) {
            return CKR_USER_NOT_LOGGED_IN;
        }
        if (pin == nullptr && len > 0) {
            return CKR_ARGUMENTS_BAD;
        }
        if (len < kMinPin || len > kMaxPin) {
            return CKR_PIN_LEN_RANGE;
        }
        t.userPin = makePin(pin, len);
        t.userPinSet = true;
        t.userTries = m.config.pinTries;
        return CKR_OK;
    });
}

CK_RV SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin,
             CK_ULONG newLen) {
    return guarded(Fn::SetPIN, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if ((s->flags & CKF_RW_SESSION) == 0) {
            return CKR_SESSION_READ_ONLY;
        }
        if ((oldPin == nullptr && oldLen > 0) || (newPin == nullptr && newLen > 0)) {
            return CKR_ARGUMENTS_BAD;
        }
        Token& t = m.tokens[s->token];
        // The security officer changes its own PIN; a user or public session the user's.
        const bool so = t.loggedIn && t.user == CKU_SO;
        if (!so && !t.userPinSet) {
            return CKR_USER_PIN_NOT_INITIALIZED;
        }
        Pin& current = so ? t.soPin : t.userPin;
        unsigned long& tries = so ? t.soTries : t.userTries;
        if (tries == 0) {
            return CKR_PIN_LOCKED;
        }
        if (!pinMatches(current, oldPin, oldLen)) {
            --tries;
            return CKR_PIN_INCORRECT;
        }
        if (newLen < kMinPin || newLen > kMaxPin) {
            return CKR_PIN_LEN_RANGE;
        }
        current = makePin(newPin, newLen);
        tries = m.config.pinTries;
        return CKR_OK;
    });
}

// ---- objects ----------------------------------------------------------------------------------

CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE oh, CK_ATTRIBUTE_PTR tmpl,
                        CK_ULONG count) {
    return guarded(Fn::GetAttributeValue, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (tmpl == nullptr && count > 0) {
            return CKR_ARGUMENTS_BAD;
        }
        const Object* o = m.object(m.tokens[s->token], oh);
        if (o == nullptr) {
            return CKR_OBJECT_HANDLE_INVALID;
        }
        // Every entry is answered; the call's result names the gravest problem met.
        bool sensitive = false, invalid = false, tooSmall = false;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ATTRIBUTE& a = tmpl[i];
            const auto it = o->attrs.find(a.type);
            if (it == o->attrs.end()) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                invalid = true;
            } else if (o->sensitive.count(a.type) != 0) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                sensitive = true;
            } else if (a.pValue == nullptr) {
                a.ulValueLen = it->second.size();
            } else if (a.ulValueLen < it->second.size()) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                tooSmall = true;
            } else {
                if (!it->second.empty()) {
                    std::memcpy(a.pValue, it->second.data(), it->second.size());
                }
                a.ulValueLen = it->second.size();
            }
        }
        return sensitive  ? CKR_ATTRIBUTE_SENSITIVE
               : invalid  ? CKR_ATTRIBUTE_TYPE_INVALID
               : tooSmall ? CKR_BUFFER_TOO_SMALL
                          : CKR_OK;
    });
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE oh, CK_ATTRIBUTE_PTR tmpl,
                        CK_ULONG count) {
    return guarded(Fn::SetAttributeValue, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if ((tmpl == nullptr && count > 0) || count == 0) {
            return CKR_ARGUMENTS_BAD;
        }
        Object* o = m.object(m.tokens[s->token], oh);
        if (o == nullptr) {
            return CKR_OBJECT_HANDLE_INVALID;
        }
        if ((s->flags & CKF_RW_SESSION) == 0) {
            return CKR_SESSION_READ_ONLY;
        }
        // All entries are checked before any is applied, so a refused template changes nothing.
        for (CK_ULONG i = 0; i < count; ++i) {
            const CK_ATTRIBUTE& a = tmpl[i];
            if (a.type == CKA_CLASS || a.type == CKA_KEY_TYPE || a.type == CKA_CERTIFICATE_TYPE ||
                a.type == CKA_TOKEN || a.type == CKA_PRIVATE) {
                return CKR_ATTRIBUTE_READ_ONLY;
            }
            if (a.pValue == nullptr && a.ulValueLen > 0) {
                return CKR_ATTRIBUTE_VALUE_INVALID;
            }
            if (a.ulValueLen > 65536) {
                return CKR_ATTRIBUTE_VALUE_INVALID;
            }
        }
        for (CK_ULONG i = 0; i < count; ++i) {
            const auto* p = static_cast<const CK_BYTE*>(tmpl[i].pValue);
            o->attrs[tmpl[i].type] = p == nullptr ? Bytes() : Bytes(p, p + tmpl[i].ulValueLen);
            o->sensitive.erase(tmpl[i].type);
        }
        return CKR_OK;
    });
}

// Any object from its template, as given: a session object (CKA_TOKEN absent or false) lives
// until its session closes; a token object needs a read-write session, a private one a login.
CK_RV CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                   CK_OBJECT_HANDLE_PTR handle) {
    return guarded(Fn::CreateObject, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (handle == nullptr || (tmpl == nullptr && count > 0)) {
            return CKR_ARGUMENTS_BAD;
        }
        std::map<CK_ATTRIBUTE_TYPE, Bytes> attrs;
        for (CK_ULONG i = 0; i < count; ++i) {
            const auto* p = static_cast<const CK_BYTE*>(tmpl[i].pValue);
            if ((p == nullptr && tmpl[i].ulValueLen > 0) || tmpl[i].ulValueLen > 65536) {
                return CKR_ATTRIBUTE_VALUE_INVALID;
            }
            attrs[tmpl[i].type] = p == nullptr ? Bytes() : Bytes(p, p + tmpl[i].ulValueLen);
        }
        if (attrs.count(CKA_CLASS) == 0) {
            return CKR_TEMPLATE_INCOMPLETE;
        }
        auto flag = [&](CK_ATTRIBUTE_TYPE type) {
            const auto it = attrs.find(type);
            return it != attrs.end() && !it->second.empty() && it->second[0] != 0;
        };
        Token& t = m.tokens[s->token];
        if (flag(CKA_TOKEN) && (s->flags & CKF_RW_SESSION) == 0) {
            return CKR_SESSION_READ_ONLY;
        }
        if (flag(CKA_PRIVATE) && !(t.loggedIn && t.user == CKU_USER)) {
            return CKR_USER_NOT_LOGGED_IN;
        }
        const CK_OBJECT_HANDLE made = m.nextObject++;
        Object& o = t.objects[made];
        o.handle = made;
        // Read before the template moves into the object: the flag reads the template.
        const bool tokenObject = flag(CKA_TOKEN);
        o.session = tokenObject ? 0 : h;
        o.attrs = std::move(attrs);
        o.attrs[CKA_TOKEN] = boolBytes(tokenObject);
        *handle = made;
        return CKR_OK;
    });
}

// Removes an object the session can see; a token object only through a read-write session.
CK_RV DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE oh) {
    return guarded(Fn::DestroyObject, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        Token& t = m.tokens[s->token];
        Object* o = m.object(t, oh);
        if (o == nullptr) {
            return CKR_OBJECT_HANDLE_INVALID;
        }
        if (o->session == 0 && (s->flags & CKF_RW_SESSION) == 0) {
            return CKR_SESSION_READ_ONLY;
        }
        t.objects.erase(oh);
        return CKR_OK;
    });
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    return guarded(Fn::FindObjectsInit, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (tmpl == nullptr && count > 0) {
            return CKR_ARGUMENTS_BAD;
        }
        if (s->finding) {
            return CKR_OPERATION_ACTIVE;
        }
        Token& t = m.tokens[s->token];
        s->found.clear();
        for (const auto& [handle, o] : t.objects) {
            if (!Module::visible(t, o)) {
                continue;
            }
            bool match = true;
            for (CK_ULONG i = 0; i < count && match; ++i) {
                const auto it = o.attrs.find(tmpl[i].type);
                const auto* p = static_cast<const CK_BYTE*>(tmpl[i].pValue);
                match = it != o.attrs.end() && it->second.size() == tmpl[i].ulValueLen &&
                        (tmpl[i].ulValueLen == 0 ||
                         (p != nullptr && std::equal(it->second.begin(), it->second.end(), p)));
            }
            if (match) {
                s->found.push_back(o.handle);
            }
        }
        s->finding = true;
        s->next = 0;
        return CKR_OK;
    });
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
    return guarded(Fn::FindObjects, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (count == nullptr || (out == nullptr && max > 0)) {
            return CKR_ARGUMENTS_BAD;
        }
        if (!s->finding) {
            return CKR_OPERATION_NOT_INITIALIZED;
        }
        const std::size_t n = std::min<std::size_t>(max, s->found.size() - s->next);
        std::copy_n(s->found.begin() + static_cast<std::ptrdiff_t>(s->next), n, out);
        s->next += n;
        *count = n;
        return CKR_OK;
    });
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h) {
    return guarded(Fn::FindObjectsFinal, [&](Module& m) -> CK_RV {
        if (!m.initialized) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        Session* s = m.session(h);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (!s->finding) {
            return CKR_OPERATION_NOT_INITIALIZED;
        }
        s->finding = false;
        s->found.clear();
        return CKR_OK;
    });
}

// Every other entry of the list: counted, marked in flight, and refused.
template <typename... Args>
CK_RV NotSupported(Args...) {
    return guarded(Fn::Unsupported, [](Module&) -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

CK_FUNCTION_LIST* functionList();

CK_RV GetFunctionListEntry(CK_FUNCTION_LIST_PTR_PTR out) {
    return guarded(Fn::GetFunctionList, [&](Module&) -> CK_RV {
        if (out == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *out = functionList();
        return CKR_OK;
    });
}

CK_FUNCTION_LIST* functionList() {
    static CK_FUNCTION_LIST list = [] {
        CK_FUNCTION_LIST l{};
        l.version = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
        l.C_Initialize = Initialize;
        l.C_Finalize = Finalize;
        l.C_GetInfo = GetInfo;
        l.C_GetFunctionList = GetFunctionListEntry;
        l.C_GetSlotList = GetSlotList;
        l.C_GetSlotInfo = GetSlotInfo;
        l.C_GetTokenInfo = GetTokenInfo;
        l.C_GetMechanismList = NotSupported;
        l.C_GetMechanismInfo = NotSupported;
        l.C_InitToken = InitToken;
        l.C_InitPIN = InitPIN;
        l.C_SetPIN = SetPIN;
        l.C_OpenSession = OpenSession;
        l.C_CloseSession = CloseSession;
        l.C_CloseAllSessions = CloseAllSessions;
        l.C_GetSessionInfo = GetSessionInfo;
        l.C_GetOperationState = NotSupported;
        l.C_SetOperationState = NotSupported;
        l.C_Login = Login;
        l.C_Logout = Logout;
        l.C_CreateObject = CreateObject;
        l.C_CopyObject = NotSupported;
        l.C_DestroyObject = DestroyObject;
        l.C_GetObjectSize = NotSupported;
        l.C_GetAttributeValue = GetAttributeValue;
        l.C_SetAttributeValue = SetAttributeValue;
        l.C_FindObjectsInit = FindObjectsInit;
        l.C_FindObjects = FindObjects;
        l.C_FindObjectsFinal = FindObjectsFinal;
        l.C_EncryptInit = NotSupported;
        l.C_Encrypt = NotSupported;
        l.C_EncryptUpdate = NotSupported;
        l.C_EncryptFinal = NotSupported;
        l.C_DecryptInit = NotSupported;
        l.C_Decrypt = NotSupported;
        l.C_DecryptUpdate = NotSupported;
        l.C_DecryptFinal = NotSupported;
        l.C_DigestInit = NotSupported;
        l.C_Digest = NotSupported;
        l.C_DigestUpdate = NotSupported;
        l.C_DigestKey = NotSupported;
        l.C_DigestFinal = NotSupported;
        l.C_SignInit = NotSupported;
        l.C_Sign = NotSupported;
        l.C_SignUpdate = NotSupported;
        l.C_SignFinal = NotSupported;
        l.C_SignRecoverInit = NotSupported;
        l.C_SignRecover = NotSupported;
        l.C_VerifyInit = NotSupported;
        l.C_Verify = NotSupported;
        l.C_VerifyUpdate = NotSupported;
        l.C_VerifyFinal = NotSupported;
        l.C_VerifyRecoverInit = NotSupported;
        l.C_VerifyRecover = NotSupported;
        l.C_DigestEncryptUpdate = NotSupported;
        l.C_DecryptDigestUpdate = NotSupported;
        l.C_SignEncryptUpdate = NotSupported;
        l.C_DecryptVerifyUpdate = NotSupported;
        l.C_GenerateKey = NotSupported;
        l.C_GenerateKeyPair = NotSupported;
        l.C_WrapKey = NotSupported;
        l.C_UnwrapKey = NotSupported;
        l.C_DeriveKey = NotSupported;
        l.C_SeedRandom = NotSupported;
        l.C_GenerateRandom = NotSupported;
        l.C_GetFunctionStatus = NotSupported;
        l.C_CancelFunction = NotSupported;
        l.C_WaitForSlotEvent = NotSupported;
        return l;
    }();
    return &list;
}

}  // namespace
}  // namespace vantor::faultp11

using namespace vantor::faultp11;

VANTOR_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return GetFunctionListEntry(list);
}

VANTOR_EXPORT int FaultP11_Configure(const char* spec) {
    try {
        std::string why;
        auto config = ParseConfig(spec == nullptr ? "" : spec, &why);
        Module& m = M();
        std::lock_guard lock(m.mutex);
        if (!config) {
            m.lastRefusal = std::move(why);
            return -1;
        }
        m.configError.clear();
        m.apply(std::move(*config));
        m.lastRefusal.clear();
        return 0;
    } catch (...) {
        return -1;  // out of memory: the reason cannot be stored either
    }
}

VANTOR_EXPORT const char* FaultP11_LastError(void) {
    // The module keeps no thread-local state: tests load and unload it many times in one
    // process, and a thread_local with a destructor pins the module in memory and leaves
    // dynamic TLS blocks behind for the leak checker to scan at exit.
    // A refused environment configuration is reported until a configuration succeeds. The
    // text stays valid until the next FaultP11_Configure, the only writer of both strings.
    Module& m = M();
    std::lock_guard lock(m.mutex);
    return m.lastRefusal.empty() ? m.configError.c_str() : m.lastRefusal.c_str();
}

VANTOR_EXPORT unsigned long FaultP11_Count(const char* key) {
    if (key == nullptr) {
        return kFaultP11NoSuchKey;
    }
    Module& m = M();
    const std::string_view k(key);
    if (const auto fn = FnFromName(k)) {
        return m.calls[static_cast<std::size_t>(*fn)].load();
    }
    if (k == "overlaps") {
        return m.overlaps.load();
    }
    std::lock_guard lock(m.mutex);
    if (k == "initialized") {
        return m.initialized ? 1 : 0;
    }
    if (k == "init_args_null") {
        return m.initArgsNull ? 1 : 0;
    }
    if (k == "sessions") {
        return m.sessions.size();
    }
    return kFaultP11NoSuchKey;
}

VANTOR_EXPORT void FaultP11_ResetCounts(void) {
    M().resetCounts();
}

VANTOR_EXPORT size_t FaultP11_Stats(char* buffer, size_t size) {
    try {
        Module& m = M();
        std::string text;
        for (std::size_t i = 0; i < static_cast<std::size_t>(Fn::Count); ++i) {
            if (const unsigned long n = m.calls[i].load(); n > 0) {
                text += std::string(FnName(static_cast<Fn>(i))) + "=" + std::to_string(n) + " ";
            }
        }
        text += "overlaps=" + std::to_string(m.overlaps.load());
        {
            std::lock_guard lock(m.overlapMutex);
            if (!m.firstOverlap.empty()) {
                text += " first_overlap=\"" + m.firstOverlap + "\"";
            }
        }
        if (buffer != nullptr && size > 0) {
            const std::size_t n = std::min(size - 1, text.size());
            std::memcpy(buffer, text.data(), n);
            buffer[n] = 0;
        }
        return text.size();
    } catch (...) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = 0;
        }
        return 0;
    }
}
