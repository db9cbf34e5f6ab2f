// The attribute-list conversion: an array of attribute types and/or P11Attribute objects becomes
// the CK_ATTRIBUTE template of a module call.
#pragma once

#include <cstddef>
#include <vector>

#include "convert/secure_bytes.h"
#include "pkcs11/pkcs11.h"
#include "win/oleauto.h"

namespace pavlox {

// Which elements a list may hold.
enum class ListElements {
    // Numbers (attribute types without value) and P11Attribute objects (type and value): the
    // lists of GetAttributeValue and SetAttributeValue.
    TypesOrAttributes,
    // P11Attribute objects only, in VT_VARIANT or VT_UNKNOWN arrays: a search template.
    AttributesOnly,
};

// A template built from a client's list. It owns copies of the attributes' values, taken under
// each attribute's own lock, so the template stays intact however the attributes change while
// the module call runs, and no attribute lock is needed while the caller holds its own chain.
//
// Build it BEFORE taking the caller's locks: copying takes each attribute's lock, and an
// attribute's lock comes before any object, session or library lock.
class AttributeTemplate final {
  public:
    AttributeTemplate() = default;
    AttributeTemplate(AttributeTemplate&&) = default;
    AttributeTemplate& operator=(AttributeTemplate&&) = default;
    AttributeTemplate(const AttributeTemplate&) = delete;
    AttributeTemplate& operator=(const AttributeTemplate&) = delete;

    // Converts list; entry k comes from element lower + k. Results:
    //   S_OK          (possibly empty: an empty array; the callers decide what that means)
    //   E_INVALIDARG  not a one-dimensional array with readable bounds and element type; an
    //                 element kind the list may not hold; a number that is no 32-bit type; an
    //                 object without IP11Attribute
    //   E_POINTER     a null object reference
    //   E_UNEXPECTED  an IP11Attribute that is not this library's attribute
    //   E_OUTOFMEMORY
    // On failure the template is empty.
    HRESULT build(const VARIANT& list, ListElements elements = ListElements::TypesOrAttributes);

    // The entries for the module; pValue points into storage the template owns (null and length
    // 0 for an entry without value). Valid until the template is rebuilt or destroyed.
    CK_ATTRIBUTE_PTR data() { return entries_.empty() ? nullptr : entries_.data(); }
    CK_ULONG count() const { return static_cast<CK_ULONG>(entries_.size()); }
    bool empty() const { return entries_.empty(); }
    const CK_ATTRIBUTE& operator[](size_t k) const { return entries_[k]; }

  private:
    std::vector<CK_ATTRIBUTE> entries_;
    std::vector<SecureBytes> values_;  // one per entry; entries_ point into them
};

}  // namespace pavlox
