// Context records of the software providers: handle tables, the container's key pairs and
// the process-wide table of contexts.
#include "soft_context.h"

#include <cstring>
#include <unordered_map>

#include "capi_error.h"
#include "container_store.h"

namespace vantor::capi {

namespace {

std::mutex g_contextsMutex;
std::unordered_map<HCRYPTPROV, std::shared_ptr<SoftContext>>& contexts() {
    static auto* table = new std::unordered_map<HCRYPTPROV, std::shared_ptr<SoftContext>>();
    return *table;
}
HCRYPTPROV g_nextContext = 1;

PROV_ENUMALGS_EX entry(ALG_ID alg, DWORD def, DWORD min, DWORD max, const char* name,
                       const char* longName) {
    PROV_ENUMALGS_EX e{};
    e.aiAlgid = alg;
    e.dwDefaultLen = def;
    e.dwMinLen = min;
    e.dwMaxLen = max;
    std::strncpy(e.szName, name, sizeof e.szName - 1);
    e.dwNameLen = static_cast<DWORD>(std::strlen(e.szName) + 1);
    std::strncpy(e.szLongName, longName, sizeof e.szLongName - 1);
    e.dwLongNameLen = static_cast<DWORD>(std::strlen(e.szLongName) + 1);
    return e;
}

}  // namespace

HCRYPTKEY SoftContext::addKey(std::unique_ptr<KeyObject> key) {
    const HCRYPTKEY handle = nextHandle_++;
    keys_[handle] = std::move(key);
    return handle;
}

KeyObject& SoftContext::key(HCRYPTKEY handle) {
    auto it = keys_.find(handle);
    if (it == keys_.end()) {
        fail(NTE_BAD_KEY);
    }
    return *it->second;
}

void SoftContext::destroyKey(HCRYPTKEY handle) {
    if (keys_.erase(handle) == 0) {
        fail(NTE_BAD_KEY);
    }
}

HCRYPTHASH SoftContext::addHash(std::unique_ptr<HashObject> hash) {
    const HCRYPTHASH handle = nextHandle_++;
    hashes_[handle] = std::move(hash);
    return handle;
}

HashObject& SoftContext::hash(HCRYPTHASH handle) {
    auto it = hashes_.find(handle);
    if (it == hashes_.end()) {
        fail(NTE_BAD_HASH);
    }
    return *it->second;
}

void SoftContext::destroyHash(HCRYPTHASH handle) {
    if (hashes_.erase(handle) == 0) {
        fail(NTE_BAD_HASH);
    }
}

const KeyObject& SoftContext::userKey(DWORD keySpec) {
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) {
        fail(NTE_BAD_KEY);
    }
    auto it = userKeys_.find(keySpec);
    if (it != userKeys_.end()) {
        return it->second;
    }
    if (verify) {
        fail(NTE_NO_KEY);
    }
    auto stored = ContainerStore::forScope(machine).getKey(container, keySpec);
    if (!stored) {
        fail(NTE_NO_KEY);
    }
    KeyObject object;
    object.rsa = RsaKey::fromBlob(stored->blob.view());
    object.rsaAlg = keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    object.rsaFlags = stored->flags;
    return userKeys_[keySpec] = std::move(object);
}

void SoftContext::setUserKey(DWORD keySpec, std::shared_ptr<RsaKey> key, ALG_ID alg, DWORD flags) {
    if (!verify) {
        StoredKey stored;
        // The stored copy always carries the private parts; exportability is a flag on it.
        stored.blob = key->exportBlob(true, alg);
        stored.flags = flags;
        ContainerStore::forScope(machine).putKey(container, keySpec, stored);
    }
    KeyObject object;
    object.rsa = std::move(key);
    object.rsaAlg = alg;
    object.rsaFlags = flags;
    userKeys_[keySpec] = std::move(object);
}

HCRYPTPROV registerContext(std::shared_ptr<SoftContext> context) {
    std::lock_guard lock(g_contextsMutex);
    const HCRYPTPROV handle = g_nextContext++;
    contexts()[handle] = std::move(context);
    return handle;
}

std::shared_ptr<SoftContext> findContext(HCRYPTPROV handle) {
    std::lock_guard lock(g_contextsMutex);
    auto it = contexts().find(handle);
    if (it == contexts().end()) {
        fail(NTE_BAD_UID);
    }
    return it->second;
}

void unregisterContext(HCRYPTPROV handle) {
    std::lock_guard lock(g_contextsMutex);
    if (contexts().erase(handle) == 0) {
        fail(NTE_BAD_UID);
    }
}

std::vector<PROV_ENUMALGS_EX> softAlgorithms(bool enhanced) {
    std::vector<PROV_ENUMALGS_EX> table;
    for (const auto& s : symmetricAlgs(enhanced)) {
        table.push_back(entry(s.alg, s.defaultBits, s.minBits, s.maxBits, s.name, s.longName));
    }
    table.push_back(entry(CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"));
    table.push_back(entry(CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"));
    table.push_back(entry(CALG_SSL3_SHAMD5, 288, 288, 288, "SSL3 SHAMD5", "SSL3 SHAMD5"));
    table.push_back(
        entry(CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"));
    table.push_back(
        entry(CALG_SHA_384, 384, 384, 384, "SHA-384", "Secure Hash Algorithm (SHA-384)"));
    table.push_back(
        entry(CALG_SHA_512, 512, 512, 512, "SHA-512", "Secure Hash Algorithm (SHA-512)"));
    const DWORD rsaDefault = defaultRsaBits(enhanced);
    table.push_back(entry(CALG_RSA_SIGN, rsaDefault, 384, 16384, "RSA_SIGN", "RSA Signature"));
    table.push_back(entry(CALG_RSA_KEYX, rsaDefault, 384, 16384, "RSA_KEYX", "RSA Key Exchange"));
    return table;
}

}  // namespace vantor::capi
