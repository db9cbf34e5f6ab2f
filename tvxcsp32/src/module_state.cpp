// The process-wide PKCS#11 module state: load, reload and unload, the slot list and "Slot nr",
// slot selection, session opening and login with a given PIN.
#include "module_state.h"

#include "card_binding.h"
#include "container_name.h"
#include "provider_codes.h"
#include "reader_watch.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winerror.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace tvx {
namespace {

// Reads a string value of the provider key: REG_SZ or REG_EXPAND_SZ (not expanded).
std::optional<std::string> readProviderString(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    std::optional<std::string> result;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::string value(size, '\0');
        if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                             &size) == ERROR_SUCCESS) {
            value.resize(std::min<std::size_t>(size, value.size()));
            value.resize(std::strlen(value.c_str()));
            result = value;
        }
    }
    RegCloseKey(key);
    return result;
}

}  // namespace

std::string readModuleList() {
    return readProviderString("Pkcs11Lib").value_or(kDefaultModules);
}

std::string readSmartLogonName() {
    // At most 1024 bytes with the terminator; a longer value, or one not ending in a NUL, is
    // treated as absent rather than cut, and an empty one gives the default too.
    constexpr DWORD kLimit = 1024;
    HKEY key = nullptr;
    std::string name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        char buffer[kLimit] = {};
        DWORD size = kLimit;
        if (RegQueryValueExA(key, "SmartLogonContainerName", nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0 && size <= kLimit &&
            buffer[size - 1] == '\0') {
            name = buffer;
        }
        RegCloseKey(key);
    }
    return name.empty() ? std::string("SmartLogon") : name;
}

DWORD readDetectReaderChanges() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS rc = RegQueryValueExA(key, "DetectPCSCReaderChanges", nullptr, &type,
                                        reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return (rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value)) ? value : 0;
}

ModuleState& ModuleState::instance() {
    static auto* state = new ModuleState;
    return *state;
}

void ModuleState::release() {
    if (library_ != nullptr) {
        FreeLibrary(library_);
    }
    library_ = nullptr;
    functions_ = nullptr;
}

DWORD ModuleState::ensureModule(bool force) {
    ReaderWatch& watch = ReaderWatch::instance();
    if (!initialised_) {
        watch.changed();  // remembers the current reader list; the answer does not matter
    }
    if (!force && initialised_ && functions_ != nullptr && !slots_.empty() && !watch.changed()) {
        CK_INFO info{};
        if (functions_->C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED) {
            return 0;
        }
    }

    // Reload. The previous library is released without C_Finalize: another copy of the same
    // module in this process may still be working with it.
    release();
    initialised_ = false;
    const std::string list = readModuleList();
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = list.find(';', start);
        const std::string name = list.substr(start, end == std::string::npos ? end : end - start);
        library_ = LoadLibraryA(name.c_str());
        if (library_ != nullptr || end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (library_ == nullptr) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_MOD_NOT_FOUND;
    }
    const auto getList =
        ProcAs<CK_C_GetFunctionList>(GetProcAddress(library_, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list11 = nullptr;
    if (getList == nullptr || getList(&list11) != CKR_OK || list11 == nullptr) {
        DWORD error = GetLastError();
        if (error == 0) {
            error = ERROR_PROC_NOT_FOUND;
        }
        unload();
        return error;
    }
    functions_ = list11;
    CK_RV rv = functions_->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        unload();
        return p11Error(rv);
    }
    CK_ULONG count = 0;
    rv = functions_->C_GetSlotList(CK_FALSE, nullptr, &count);
    if (rv == CKR_OK) {
        try {
            slots_.assign(count, 0);
            comboMap_.assign(count, 0);
        } catch (...) {
            unload();
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        rv = functions_->C_GetSlotList(CK_FALSE, slots_.data(), &count);
        slots_.resize(std::min<CK_ULONG>(count, slots_.size()));
    }
    if (rv != CKR_OK) {
        initialised_ = true;  // C_Initialize succeeded, so the unload finalizes
        unload();
        return p11Error(rv);
    }

    // The settings key: kept open until the next load or the unload.
    if (settings_ != nullptr) {
        RegCloseKey(settings_);
        settings_ = nullptr;
    }
    DWORD disposition = 0;
    currentSlot_ = 0;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &settings_, &disposition) == ERROR_SUCCESS &&
        disposition == REG_OPENED_EXISTING_KEY) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (RegQueryValueExA(settings_, "Slot nr", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &size) == ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof(value)) {
            currentSlot_ = value;
        }
    }
    initialised_ = true;
    // Process detach: the module must be finalized before its own static objects go, so the
    // unload is registered after the module made them (exit handlers run in reverse order). In
    // a provider unloaded earlier the handler runs at that unload instead.
    static const bool registered = std::atexit([] { ModuleState::instance().unload(); }) == 0;
    (void)registered;
    return 0;
}

void ModuleState::unload() {
    if (currentSlot_ != 0xFFFFFFFFu) {
        if (settings_ != nullptr) {
            const DWORD value = currentSlot_;
            RegSetValueExA(settings_, "Slot nr", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), sizeof(value));
        }
        currentSlot_ = 0xFFFFFFFFu;
    }
    slots_.clear();
    comboMap_.clear();
    if (library_ != nullptr && GetProcAddress(library_, "C_GetFunctionList") != nullptr) {
        if (initialised_ && functions_ != nullptr) {
            functions_->C_Finalize(nullptr);
        }
    }
    release();
    initialised_ = false;
    // The key cache names objects of sessions that no longer exist.
    KeyCache::instance().clear();
}

DWORD ModuleState::selectSlot(const SlotSelector& selector) {
    if (const DWORD* index = std::get_if<DWORD>(&selector)) {
        if (*index >= slots_.size()) {
            return ERR_SLOT_NOT_FOUND;
        }
        currentSlot_ = *index;
        return 0;
    }
    const std::string wanted = trimTrailingBlanks(std::get<std::string>(selector));
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        CK_SLOT_INFO info{};
        const CK_RV rv = functions_->C_GetSlotInfo(slots_[i], &info);
        if (rv != CKR_OK) {
            return p11Error(rv);
        }
        const std::string description = trimTrailingBlanks(std::string_view(
            reinterpret_cast<const char*>(info.slotDescription), sizeof(info.slotDescription)));
        if (description.size() == wanted.size() &&
            ::strncasecmp(description.c_str(), wanted.c_str(), wanted.size()) == 0) {
            currentSlot_ = static_cast<DWORD>(i);
            return 0;
        }
    }
    return ERR_SLOT_NOT_FOUND;
}

DWORD ModuleState::openSession(CardSession& card) {
    card.close();
    if (functions_ == nullptr || currentSlot_ >= slots_.size()) {
        return ERR_SLOT_NOT_FOUND;
    }
    CK_SESSION_HANDLE session = 0;
    CK_RV rv = functions_->C_OpenSession(slots_[currentSlot_], CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                         nullptr, nullptr, &session);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    CK_SESSION_INFO info{};
    rv = functions_->C_GetSessionInfo(session, &info);
    if (rv != CKR_OK) {
        functions_->C_CloseSession(session);
        return p11Error(rv);
    }
    card.session = session;
    card.loggedIn = info.state == CKS_RW_USER_FUNCTIONS ? 1 : 0;
    return 0;
}

DWORD ModuleState::loginWithPin(CardSession& card, const vantor::SecureBytes* pin,
                                const SlotSelector* selector) {
    if (pin == nullptr || selector == nullptr) {
        return kWrongChv;
    }
    DWORD result = selectSlot(*selector);
    if (result == 0) {
        result = openSession(card);
    }
    if (result != 0) {
        return result;
    }
    // The PIN stops at its terminator, as the text the caller gave.
    const std::size_t length = ::strnlen(reinterpret_cast<const char*>(pin->data()), pin->size());
    const CK_RV rv = functions_->C_Login(card.session, CKU_USER,
                                         const_cast<CK_UTF8CHAR_PTR>(pin->data()), length);
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        return p11Error(rv);
    }
    card.loggedIn = 1;
    return 0;
}

bool ModuleState::tokenPresence(std::vector<bool>& present, DWORD* error) {
    present.assign(slots_.size(), false);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        CK_SLOT_INFO info{};
        const CK_RV rv = functions_->C_GetSlotInfo(slots_[i], &info);
        if (rv != CKR_OK) {
            *error = p11Error(rv);
            return false;
        }
        present[i] = (info.flags & CKF_TOKEN_PRESENT) != 0;
    }
    return true;
}

}  // namespace tvx
