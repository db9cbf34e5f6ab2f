// A context's card session, the process-wide key cache, and BindCard, which every card
// operation runs first.
#pragma once

#include "module_state.h"
#include "pkcs11/pkcs11.h"

#include <map>
#include <optional>
#include <string>

namespace tvx {

// Owned by one context. Destroying it closes its session (if the module still holds it).
struct CardSession {
    DWORD keyGenerated = 0;
    CK_SESSION_HANDLE session = 0;
    DWORD loggedIn = 0;

    CardSession() = default;
    ~CardSession();
    CardSession(const CardSession&) = delete;
    CardSession& operator=(const CardSession&) = delete;

    void close();  // C_CloseSession when open; session = 0, loggedIn = 0
};

struct CachedKey {
    CK_OBJECT_HANDLE privateKey = 0;
    DWORD modulusBits = 0;
};

// Keyed by CardSession identity; entries are validated by object class before use, and the
// whole map is emptied on every logout. Only ever touched under the provider mutex.
class KeyCache final {
  public:
    static KeyCache& instance();
    void put(const CardSession* card, CachedKey key) { map_[card] = key; }
    std::optional<CachedKey> get(const CardSession* card) const;
    void erase(const CardSession* card) { map_.erase(card); }
    void clear() { map_.clear(); }
    std::size_t size() const { return map_.size(); }

  private:
    std::map<const CardSession*, CachedKey> map_;
};

// What BindCard is given by the context.
struct BindRequest {
    DWORD flags = 0;
    const std::string* containerName = nullptr;  // null: no container
    const vantor::SecureBytes* pin = nullptr;
    const SlotSelector* slotSelector = nullptr;
    DWORD keyBits = 1024;
    DWORD forcePin = 0;
};

// Makes the session usable: module, session, login (PIN dialog when needed), key binding.
// 0 or the card result.
DWORD bindCard(CardSession& card, const BindRequest& request);
// 0, ERR_NO_BOUND_KEY or rv + 22000.
DWORD validateKey(CardSession& card);
// C_Logout; on success the key cache is emptied. Returns the PKCS#11 value.
CK_RV logout(CardSession& card);

// The hook that generates a key pair on the token (keys entry points). Until that exists a
// request for a new key set fails with ERR_NO_BOUND_KEY.
using KeyGenerator = DWORD (*)(CardSession& card, const std::string& label, DWORD keyBits);
void setKeyGenerator(KeyGenerator generator);

}  // namespace tvx
