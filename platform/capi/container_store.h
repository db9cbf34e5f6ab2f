// Persistent key containers of the software provider: one SQLite database for the user and
// one for the machine, beside the registry hives, owner-only. Each container holds at most one
// exchange and one signature key pair, stored as PRIVATEKEYBLOBs; nothing else is written.
#pragma once

#include <sqlite3.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vantor/secure_bytes.h"
#include "win/windef.h"

namespace vantor::capi {

struct StoredKey {
    SecureBytes blob;  // PRIVATEKEYBLOB
    DWORD flags = 0;   // CRYPT_EXPORTABLE and the other generation flags
};

// Results are CryptoAPI codes thrown as CapiError: NTE_EXISTS, NTE_BAD_KEYSET, NTE_FAIL for a
// store that cannot be opened or written.
class ContainerStore final {
  public:
    explicit ContainerStore(std::string file) : file_(std::move(file)) {}
    ~ContainerStore();
    ContainerStore(const ContainerStore&) = delete;
    ContainerStore& operator=(const ContainerStore&) = delete;

    // The store of the process, following VANTOR_REGISTRY_DIR when it changes.
    static ContainerStore& forScope(bool machine);
    static std::string fileFor(bool machine);
    const std::string& file() const { return file_; }

    void create(const std::string& name);  // NTE_EXISTS when present
    void remove(const std::string& name);  // NTE_BAD_KEYSET when absent
    bool exists(const std::string& name);
    std::vector<std::string> list();
    void putKey(const std::string& name, DWORD keySpec, const StoredKey& key);
    std::optional<StoredKey> getKey(const std::string& name, DWORD keySpec);

  private:
    sqlite3* db();

    std::string file_;
    sqlite3* db_ = nullptr;
    long pid_ = 0;
    std::recursive_mutex mutex_;
};

}  // namespace vantor::capi
