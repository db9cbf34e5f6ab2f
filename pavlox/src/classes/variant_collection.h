// CVariantCollection: the read-only, 1-based collection in which the library returns lists.
#pragma once

#include <vector>

#include "frame/object_root.h"
#include "pavlox_interfaces.h"

namespace pavlox {

class CVariantCollection final : public ObjectRoot,
                                 public IVariantCollection,
                                 public IProvideClassInfo {
  public:
    explicit CVariantCollection(IUnknown* outer);
    ~CVariantCollection() override;

    PAVLOX_IUNKNOWN
    PAVLOX_IDISPATCH(IVariantCollection, kIVariantCollection)
    PAVLOX_PROVIDECLASSINFO(kCVariantCollection)

    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** result) override;
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE get_Count(LONG* result) override;

    // Adds a copy of value at the end. Only the library calls it, while it builds a result and
    // before the collection is handed out; the list never changes afterwards, so readers on
    // several threads need no lock.
    HRESULT append(const VARIANT& value);
    // The stored list, for the enumerator that walks it in place.
    const std::vector<VARIANT>& items() const { return items_; }

  private:
    void* interfaceFor(REFIID riid) override;

    std::vector<VARIANT> items_;
};

}  // namespace pavlox
