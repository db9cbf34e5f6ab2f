// The "ANSI" form of a BSTR (UTF-8 on this platform) in wiping storage: PINs, passwords, and the
// identifiers, labels and paths the import writes or opens.
#pragma once

#include <cstddef>

#include "convert/secure_bytes.h"
#include "pkcs11/pkcs11.h"
#include "win/oleauto.h"

namespace pavlox {

// The UTF-8 bytes of a BSTR, written straight into wiping storage so that no plain copy of a
// secret is left behind. A null BSTR is an empty text. Lone surrogates become U+FFFD, as every
// other text conversion of the suite does. The bytes are followed by a terminator that size()
// does not count, so the text can also go where a C string is wanted.
class AnsiBytes final {
  public:
    explicit AnsiBytes(BSTR text);
    AnsiBytes(const AnsiBytes&) = delete;
    AnsiBytes& operator=(const AnsiBytes&) = delete;

    // Never null, so a module that reads the pointer of an empty value reads nothing harmful.
    CK_UTF8CHAR_PTR data() { return bytes_.data(); }
    const CK_UTF8CHAR* data() const { return bytes_.data(); }
    const char* c_str() const { return reinterpret_cast<const char*>(bytes_.data()); }
    CK_ULONG size() const { return static_cast<CK_ULONG>(bytes_.size() - 1); }

  private:
    void put(char32_t b) { bytes_.push_back(static_cast<std::uint8_t>(b)); }

    SecureBytes bytes_;
};

}  // namespace pavlox
