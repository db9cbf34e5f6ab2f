// BindCard: module, session, login and key binding for a context's card session; the key
// cache and its validation.
#include "card_binding.h"

#include "container_name.h"
#include "pin_dialog.h"
#include "provider_codes.h"
#include "win/wincrypt.h"
#include "win/winerror.h"

namespace tvx {
namespace {

KeyGenerator g_keyGenerator = nullptr;

// At most 30 reloads per BindCard after a reader change during the PIN dialog.
constexpr int kReaderChangeRetries = 30;

// Finds the private key whose CKA_ID is the decoded label and caches it.
DWORD lookUpKey(CardSession& card, const std::string& label) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    std::vector<std::uint8_t> id = percentDecode(label);
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &keyClass, sizeof(keyClass)},
        {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())},
    };
    CK_RV rv = p11->C_FindObjectsInit(card.session, search, 2);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG found = 0;
    rv = p11->C_FindObjects(card.session, &object, 1, &found);
    p11->C_FindObjectsFinal(card.session);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    if (found == 0) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
    rv = p11->C_GetAttributeValue(card.session, object, &modulus, 1);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    KeyCache::instance().put(&card, {object, static_cast<DWORD>(modulus.ulValueLen * 8)});
    return 0;
}

// Steps 3 and 4: reuse a logged-in session or open one and log in. *bound is set when a cached
// key validated and BindCard is done.
DWORD openAndLogIn(CardSession& card, const BindRequest& request,
                   const std::optional<std::string>& serialFilter, bool* bound) {
    ModuleState& module = ModuleState::instance();
    CK_FUNCTION_LIST_PTR p11 = module.functions();
    if (card.session != 0) {
        CK_SESSION_INFO info{};
        if (p11->C_GetSessionInfo(card.session, &info) == CKR_OK &&
            info.state == CKS_RW_USER_FUNCTIONS) {
            if (request.forcePin == 0) {
                card.loggedIn = 1;
                if (validateKey(card) == 0) {
                    *bound = true;
                    return 0;
                }
                return 0;  // logged in with the open session: bind the key
            }
            logout(card);
        }
        card.close();
    }
    if (request.pin != nullptr && request.slotSelector != nullptr) {
        return module.loginWithPin(card, request.pin, request.slotSelector);
    }
    if ((request.flags & CRYPT_SILENT) != 0 && request.slotSelector != nullptr) {
        DWORD result = module.selectSlot(*request.slotSelector);
        return result != 0 ? result : module.openSession(card);
    }
    if ((request.flags & CRYPT_SILENT) != 0) {
        return kWrongChv;
    }
    return runPinDialog(card, request.forcePin, serialFilter);
}

}  // namespace

CardSession::~CardSession() {
    close();
}

void CardSession::close() {
    if (session != 0) {
        CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
        if (p11 != nullptr) {
            p11->C_CloseSession(session);
        }
    }
    session = 0;
    loggedIn = 0;
}

KeyCache& KeyCache::instance() {
    static auto* cache = new KeyCache;
    return *cache;
}

std::optional<CachedKey> KeyCache::get(const CardSession* card) const {
    const auto it = map_.find(card);
    if (it == map_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void setKeyGenerator(KeyGenerator generator) {
    g_keyGenerator = generator;
}

DWORD validateKey(CardSession& card) {
    KeyCache& cache = KeyCache::instance();
    const auto entry = cache.get(&card);
    if (!entry) {
        return ERR_NO_BOUND_KEY;
    }
    CK_OBJECT_CLASS objectClass = 0;
    CK_ATTRIBUTE attribute{CKA_CLASS, &objectClass, sizeof(objectClass)};
    const CK_RV rv = ModuleState::instance().functions()->C_GetAttributeValue(
        card.session, entry->privateKey, &attribute, 1);
    if (rv != CKR_OK) {
        cache.erase(&card);
        return p11Error(rv);
    }
    if (objectClass != CKO_PRIVATE_KEY) {
        cache.erase(&card);
        return ERR_NO_BOUND_KEY;
    }
    return 0;
}

CK_RV logout(CardSession& card) {
    const CK_RV rv = ModuleState::instance().functions()->C_Logout(card.session);
    if (rv == CKR_OK) {
        KeyCache::instance().clear();
    }
    return rv;
}

DWORD bindCard(CardSession& card, const BindRequest& request) {
    card.loggedIn = 0;
    std::optional<SplitName> name;
    if (request.containerName != nullptr) {
        name = splitContainerName(*request.containerName);
    }
    const std::optional<std::string> serialFilter = name ? name->serial : std::nullopt;

    ModuleState& module = ModuleState::instance();
    DWORD result = module.ensureModule(false);
    if (result != 0) {
        card.close();
        return result;
    }
    bool bound = false;
    for (int retries = 0;; ++retries) {
        result = openAndLogIn(card, request, serialFilter, &bound);
        if (result != ERR_READERS_CHANGED || retries >= kReaderChangeRetries) {
            break;
        }
        result = module.ensureModule(true);
        if (result != 0) {
            break;
        }
    }
    if (result != 0) {
        card.close();
        return result;
    }
    if (bound || card.loggedIn == 0 || !name) {
        return 0;
    }
    if ((request.flags & kImportMarker) != 0 && card.keyGenerated == 0) {
        return 0;
    }
    if ((request.flags & CRYPT_NEWKEYSET) != 0 && card.keyGenerated == 0) {
        result = g_keyGenerator != nullptr ? g_keyGenerator(card, name->label, request.keyBits)
                                           : ERR_NO_BOUND_KEY;
        if (result == 0) {
            card.keyGenerated = 1;
        }
    } else {
        result = lookUpKey(card, name->label);
    }
    if (result != 0) {
        card.close();
    }
    return result;
}

}  // namespace tvx
