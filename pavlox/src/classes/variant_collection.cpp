// CVariantCollection and its IEnumVARIANT enumerator.
#include "classes/variant_collection.h"

#include <limits>
#include <mutex>

namespace pavlox {

namespace {

// Walks a collection's own list in place and keeps the collection alive while it exists.
class CollectionEnumerator final : public ObjectRoot, public IEnumVARIANT {
  public:
    CollectionEnumerator(CVariantCollection* collection, size_t position)
        : ObjectRoot(nullptr), collection_(collection), position_(position) {
        collection_->AddRef();
    }
    ~CollectionEnumerator() override { collection_->Release(); }

    PAVLOX_IUNKNOWN

    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) override {
        if (items == nullptr || (fetched == nullptr && count != 1)) {
            return E_INVALIDARG;
        }
        std::lock_guard lock(mutex_);
        const auto& list = collection_->items();
        ULONG n = 0;
        for (; n < count && position_ < list.size(); ++n, ++position_) {
            VariantInit(&items[n]);
            HRESULT hr = VariantCopy(&items[n], &list[position_]);
            if (FAILED(hr)) {
                for (ULONG k = 0; k < n; ++k) {
                    VariantClear(&items[k]);
                }
                if (fetched != nullptr) {
                    *fetched = 0;
                }
                return hr;
            }
        }
        if (fetched != nullptr) {
            *fetched = n;
        }
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        std::lock_guard lock(mutex_);
        size_t size = collection_->items().size();
        size_t left = size - position_;
        if (count > left) {
            position_ = size;
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard lock(mutex_);
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override {
        if (copy == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(mutex_);
        try {
            *copy = new CollectionEnumerator(collection_, position_);
        } catch (...) {
            *copy = nullptr;
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

  private:
    void* interfaceFor(REFIID riid) override {
        return riid == IID_IEnumVARIANT ? static_cast<IEnumVARIANT*>(this) : nullptr;
    }

    CVariantCollection* collection_;
    std::mutex mutex_;
    size_t position_;
};

}  // namespace

CVariantCollection::CVariantCollection(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

CVariantCollection::~CVariantCollection() {
    for (VARIANT& v : items_) {
        VariantClear(&v);
    }
}

void* CVariantCollection::interfaceFor(REFIID riid) {
    if (riid == IID_IVariantCollection || riid == IID_IDispatch) {
        return static_cast<IVariantCollection*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    return nullptr;
}

HRESULT CVariantCollection::append(const VARIANT& value) {
    if (items_.size() >= static_cast<size_t>(std::numeric_limits<LONG>::max())) {
        return E_OUTOFMEMORY;  // Count must stay representable
    }
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, &value);
    if (FAILED(hr)) {
        return hr;
    }
    try {
        items_.push_back(copy);
    } catch (...) {
        VariantClear(&copy);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CVariantCollection::get_Count(LONG* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = static_cast<LONG>(items_.size());
    return S_OK;
}

HRESULT CVariantCollection::get_Item(LONG index, VARIANT* result) {
    if (index <= 0) {
        return E_INVALIDARG;
    }
    if (static_cast<size_t>(index) > items_.size()) {
        return E_FAIL;
    }
    if (result == nullptr) {
        return E_POINTER;
    }
    VariantInit(result);
    return VariantCopy(result, &items_[static_cast<size_t>(index) - 1]);
}

HRESULT CVariantCollection::get__NewEnum(IUnknown** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    CollectionEnumerator* e = nullptr;
    try {
        e = new CollectionEnumerator(this, 0);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = e->internalQueryInterface(IID_IUnknown, reinterpret_cast<void**>(result));
    e->internalRelease();
    return hr;
}

}  // namespace pavlox
