// The working template of a C_GetAttributeValue read: types first, then buffers sized from the
// module's own length report, never guessed.
#pragma once

#include <cstddef>
#include <vector>

#include "convert/attribute_list.h"
#include "convert/secure_bytes.h"
#include "pkcs11/pkcs11.h"

namespace pavlox {

class ReadTemplate final {
  public:
    // Entries of the wanted types, no values, length 0 (the length query). Values in wanted are
    // ignored: only the types are read.
    HRESULT reset(const AttributeTemplate& wanted);

    // After the length query: a buffer for every entry (or for entry k only) whose reported
    // length is neither 0 nor the unavailable mark; the others keep no buffer.
    HRESULT allocate();
    HRESULT allocate(size_t k);

    // After the read: E_UNEXPECTED when the module reports more bytes in an entry than its
    // buffer holds (so nothing is copied out past a buffer), else S_OK.
    HRESULT checkLengths() const;

    CK_ATTRIBUTE_PTR data() { return entries_.empty() ? nullptr : entries_.data(); }
    CK_ATTRIBUTE_PTR entry(size_t k) { return &entries_[k]; }
    const CK_ATTRIBUTE& operator[](size_t k) const { return entries_[k]; }
    CK_ULONG count() const { return static_cast<CK_ULONG>(entries_.size()); }

  private:
    std::vector<CK_ATTRIBUTE> entries_;
    std::vector<SecureBytes> buffers_;  // one per entry; a value may be a secret
};

}  // namespace pavlox
