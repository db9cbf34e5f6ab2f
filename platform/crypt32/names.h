// Distinguished names as text: CertNameToStr formats and the CertGetNameString search rules.
#pragma once

#include <optional>
#include <string>

#include "win/wincrypt_certs.h"

namespace vantor::crypt32 {

// Formats a DER name as CertNameToStr does (CERT_SIMPLE/OID/X500_NAME_STR and the separator,
// quoting and reverse flags). An undecodable name gives nullopt.
std::optional<std::string> nameToString(const BYTE* der, size_t size, DWORD strType);

// The value of the first attribute with this OID in a DER name.
std::optional<std::string> nameAttribute(const BYTE* der, size_t size, const std::string& oid);

// The name CertGetNameString finds for every type but CERT_NAME_FRIENDLY_DISPLAY_TYPE (whose
// property lookup is the caller's); empty when there is none.
std::string certNameString(const CERT_INFO& info, DWORD type, DWORD flags, const void* typePara);

}  // namespace vantor::crypt32
