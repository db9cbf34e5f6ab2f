// Store handles, the add-disposition rules and the in-memory back end.
#include "cert_store.h"

#include <algorithm>
#include <unordered_set>

#include "win/winerror.h"

namespace vantor::crypt32 {

namespace {

std::mutex& storesMutex() {
    static std::mutex m;
    return m;
}
std::unordered_set<const CertStore*>& liveStores() {
    static auto* set = new std::unordered_set<const CertStore*>();
    return *set;
}

class MemoryBackend final : public StoreBackend {
  public:
    std::optional<StoredCert> next(std::int64_t after) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& c : certs_) {
            if (c.id > after) {
                return c;
            }
        }
        return std::nullopt;
    }

    std::int64_t add(const AddRequest& request, DWORD disposition) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto existing = certs_.end();
        if (disposition != CERT_STORE_ADD_ALWAYS) {
            existing = std::find_if(certs_.begin(), certs_.end(),
                                    [&](const Entry& e) { return e.identity == request.identity; });
        }
        std::optional<std::uint64_t> existingNotBefore;
        if (existing != certs_.end()) {
            existingNotBefore = existing->notBefore;
        }
        AddPlan plan = planAdd(disposition, existingNotBefore, request.notBefore);
        switch (plan.action) {
            case AddPlan::Action::Fail:
                throw StoreError{static_cast<DWORD>(CRYPT_E_EXISTS)};
            case AddPlan::Action::UseExisting:
                for (const auto& [id, value] : request.props) {
                    existing->props[id] = value;
                }
                return existing->id;
            case AddPlan::Action::Replace:
            case AddPlan::Action::Insert:
                break;
        }
        Entry e;
        e.id = ++lastId_;
        e.der = request.der;
        e.identity = request.identity;
        e.notBefore = request.notBefore;
        if (plan.action == AddPlan::Action::Replace) {
            if (plan.inheritExisting) {
                e.props = existing->props;
            }
            certs_.erase(existing);
        }
        for (const auto& [id, value] : request.props) {
            e.props[id] = value;
        }
        certs_.push_back(std::move(e));
        return lastId_;
    }

    void remove(std::int64_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = find(id);
        certs_.erase(it);
    }

    PropertyMap properties(std::int64_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return find(id)->props;
    }

    void setProperty(std::int64_t id, DWORD propId, const std::optional<Bytes>& value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = find(id);
        if (value) {
            it->props[propId] = *value;
        } else {
            it->props.erase(propId);
        }
    }

  private:
    struct Entry : StoredCert {
        Bytes identity;
        std::uint64_t notBefore = 0;
    };

    std::vector<Entry>::iterator find(std::int64_t id) {
        auto it =
            std::find_if(certs_.begin(), certs_.end(), [&](const Entry& e) { return e.id == id; });
        if (it == certs_.end()) {
            throw StoreError{static_cast<DWORD>(CRYPT_E_NOT_FOUND)};
        }
        return it;
    }

    std::mutex mutex_;
    std::vector<Entry> certs_;
    std::int64_t lastId_ = 0;
};

}  // namespace

AddPlan planAdd(DWORD disposition, std::optional<std::uint64_t> existingNotBefore,
                std::uint64_t newNotBefore) {
    using Action = AddPlan::Action;
    bool exists = existingNotBefore.has_value();
    switch (disposition) {
        case CERT_STORE_ADD_ALWAYS:
            return {Action::Insert, false};
        case CERT_STORE_ADD_NEW:
            return {exists ? Action::Fail : Action::Insert, false};
        case CERT_STORE_ADD_USE_EXISTING:
            return {exists ? Action::UseExisting : Action::Insert, false};
        case CERT_STORE_ADD_REPLACE_EXISTING:
            return {exists ? Action::Replace : Action::Insert, false};
        case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
            return {exists ? Action::Replace : Action::Insert, true};
        case CERT_STORE_ADD_NEWER:
        case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES: {
            bool inherit = disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES;
            if (!exists) {
                return {Action::Insert, false};
            }
            // Only a strictly newer certificate displaces the stored one.
            return {*existingNotBefore < newNotBefore ? Action::Replace : Action::Fail, inherit};
        }
        default:
            throw StoreError{static_cast<DWORD>(E_INVALIDARG)};
    }
}

void CertStore::release() {
    if (refs_.fetch_sub(1) == 1) {
        {
            std::lock_guard<std::mutex> lock(storesMutex());
            liveStores().erase(this);
        }
        delete this;
    }
}

bool CertStore::closeHandle() {
    int n = handles_.load();
    while (n > 0) {
        if (handles_.compare_exchange_weak(n, n - 1)) {
            release();
            return true;
        }
    }
    return false;
}

void registerStore(CertStore* store) {
    std::lock_guard<std::mutex> lock(storesMutex());
    liveStores().insert(store);
}

CertStore* lookupStore(HCERTSTORE handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(storesMutex());
    auto* store = static_cast<CertStore*>(handle);
    return liveStores().count(store) ? store : nullptr;
}

std::unique_ptr<StoreBackend> makeMemoryBackend() {
    return std::make_unique<MemoryBackend>();
}

}  // namespace vantor::crypt32
