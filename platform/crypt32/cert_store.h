// Certificate stores: the handle object, the back-end interface and the memory back end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "properties.h"
#include "win/wincrypt_certs.h"

namespace vantor::crypt32 {

// One certificate as a store keeps it.
struct StoredCert {
    std::int64_t id = 0;
    Bytes der;
    PropertyMap props;
};

// What an add brings: the encoding, its identity (issuer name and serial number, which is what
// makes a stored certificate "matching": a renewal with the same pair is the same certificate,
// newer) and its properties.
struct AddRequest {
    Bytes der;
    Bytes identity;
    std::uint64_t notBefore = 0;
    PropertyMap props;
};

// The decision of an add disposition, made the same way for every back end.
struct AddPlan {
    enum class Action { Insert, Fail, UseExisting, Replace } action = Action::Insert;
    bool inheritExisting = false;  // the new entry starts with the existing entry's properties
};
// existingNotBefore is empty when no matching certificate is stored. Throws HRESULT
// E_INVALIDARG for an unknown disposition.
AddPlan planAdd(DWORD disposition, std::optional<std::uint64_t> existingNotBefore,
                std::uint64_t newNotBefore);

// Storage behind a store handle. Results are HRESULT/Win32 codes thrown as StoreError.
class StoreBackend {
  public:
    virtual ~StoreBackend() = default;
    // The first entry with an id above `after`, in the order they were added.
    virtual std::optional<StoredCert> next(std::int64_t after) = 0;
    // Applies the disposition atomically; returns the id of the entry the caller gets back.
    // Throws StoreError{CRYPT_E_EXISTS} when the disposition refuses.
    virtual std::int64_t add(const AddRequest& request, DWORD disposition) = 0;
    virtual void remove(std::int64_t id) = 0;
    // Reads the properties of an entry; CRYPT_E_NOT_FOUND when it is gone.
    virtual PropertyMap properties(std::int64_t id) = 0;
    // Sets (value given) or deletes (no value) one property of an entry.
    virtual void setProperty(std::int64_t id, DWORD propId, const std::optional<Bytes>& value) = 0;
};

struct StoreError {
    DWORD code;
};

// The object behind an HCERTSTORE. Contexts taken from the store hold a reference, so the
// store lives until the handle is closed and the last of its contexts is freed.
class CertStore final {
  public:
    CertStore(std::unique_ptr<StoreBackend> backend, bool readOnly)
        : backend_(std::move(backend)), readOnly_(readOnly) {}
    CertStore(const CertStore&) = delete;
    CertStore& operator=(const CertStore&) = delete;

    StoreBackend& backend() { return *backend_; }
    bool readOnly() const { return readOnly_; }

    void addRef() { refs_.fetch_add(1); }
    void release();

    // Open handles (CertOpenStore, CertDuplicateStore) apart from context references.
    bool open() const { return handles_.load() > 0; }
    void openHandle() {
        handles_.fetch_add(1);
        addRef();
    }
    // Whether contexts taken from the store are still alive (references beyond the handles).
    bool contextsHeld() const { return refs_.load() > handles_.load(); }
    // False when no handle is open any more (a repeated close).
    bool closeHandle();

  private:
    std::unique_ptr<StoreBackend> backend_;
    bool readOnly_;
    std::atomic<int> refs_{1};
    std::atomic<int> handles_{1};
};

// Handle checks for stores, as for contexts.
void registerStore(CertStore* store);
CertStore* lookupStore(HCERTSTORE handle);

std::unique_ptr<StoreBackend> makeMemoryBackend();

}  // namespace vantor::crypt32
