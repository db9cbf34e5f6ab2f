// State of the built-in software providers: one context record per CPAcquireContext with its
// container, key pairs, and the key and hash objects its handles name.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rsa_key.h"
#include "session_key.h"
#include "soft_hash.h"
#include "win/wincrypt_provider.h"

namespace vantor::capi {

// A key handle's object: an RSA key (a container pair or an imported public key) or a session
// key.
struct KeyObject {
    std::shared_ptr<RsaKey> rsa;
    ALG_ID rsaAlg = 0;
    DWORD rsaFlags = 0;  // CRYPT_EXPORTABLE and the rest of the generation or import flags
    std::unique_ptr<SessionKey> session;
};

class SoftContext final {
  public:
    SoftContext(std::string providerName, bool enhanced, bool machine, bool verify,
                std::string container)
        : providerName(std::move(providerName)),
          enhanced(enhanced),
          machine(machine),
          verify(verify),
          container(std::move(container)) {}
    SoftContext(const SoftContext&) = delete;
    SoftContext& operator=(const SoftContext&) = delete;

    const std::string providerName;
    const bool enhanced;
    const bool machine;
    const bool verify;
    const std::string container;

    std::recursive_mutex mutex;  // held for every operation on the context

    HCRYPTKEY addKey(std::unique_ptr<KeyObject> key);
    KeyObject& key(HCRYPTKEY handle);  // NTE_BAD_KEY when unknown
    void destroyKey(HCRYPTKEY handle);
    HCRYPTHASH addHash(std::unique_ptr<HashObject> hash);
    HashObject& hash(HCRYPTHASH handle);  // NTE_BAD_HASH when unknown
    void destroyHash(HCRYPTHASH handle);

    // The container's key pair of one kind (AT_KEYEXCHANGE, AT_SIGNATURE), loaded from
    // the store on first use; NTE_NO_KEY when there is none.
    const KeyObject& userKey(DWORD keySpec);
    // Makes key the container's pair of keySpec; persisted unless this is a verify context.
    void setUserKey(DWORD keySpec, std::shared_ptr<RsaKey> key, ALG_ID alg, DWORD flags);

    // Enumeration cursors of PP_ENUMALGS(_EX) and PP_ENUMCONTAINERS.
    std::size_t algCursor = 0;
    std::size_t containerCursor = 0;
    std::vector<std::string> containerList;

  private:
    ULONG_PTR nextHandle_ = 1;
    std::map<HCRYPTKEY, std::unique_ptr<KeyObject>> keys_;
    std::map<HCRYPTHASH, std::unique_ptr<HashObject>> hashes_;
    std::map<DWORD, KeyObject> userKeys_;
};

// The process's context records: handles are small counters, never a record's address.
HCRYPTPROV registerContext(std::shared_ptr<SoftContext> context);
std::shared_ptr<SoftContext> findContext(HCRYPTPROV handle);  // NTE_BAD_UID when unknown
void unregisterContext(HCRYPTPROV handle);

// The function table of the built-in software providers.
const CRYPT_PROVIDER_FUNCTIONS& softProviderFunctions();

// The PROV_ENUMALGS_EX table of a flavour.
std::vector<PROV_ENUMALGS_EX> softAlgorithms(bool enhanced);

// Default RSA key size of a flavour.
inline DWORD defaultRsaBits(bool enhanced) {
    return enhanced ? 1024 : 512;
}

}  // namespace vantor::capi
