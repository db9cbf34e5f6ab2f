// Certificate properties: the map kept per certificate, its stored form, and the stored form of
// the key provider information.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "win/wincrypt_certs.h"

namespace vantor::crypt32 {

using Bytes = std::vector<BYTE>;
using PropertyMap = std::map<DWORD, Bytes>;

// Stored form of a property map: for each property, its id and length as 32-bit little-endian
// numbers, then its bytes, in ascending id order. Parsing refuses truncated records, id 0 and
// ids out of order or repeated.
Bytes serializeProperties(const PropertyMap& props);
std::optional<PropertyMap> parseProperties(const BYTE* data, size_t size);

// Key provider information in owned form.
struct KeyProvInfo {
    std::optional<std::u16string> container;  // null pointer when absent
    std::optional<std::u16string> provider;
    DWORD provType = 0;
    DWORD flags = 0;
    DWORD keySpec = 0;
    struct Param {
        DWORD id = 0;
        DWORD flags = 0;
        Bytes data;
    };
    std::vector<Param> params;
};

KeyProvInfo keyProvInfoFrom(const CRYPT_KEY_PROV_INFO& info);
Bytes serializeKeyProvInfo(const KeyProvInfo& info);
std::optional<KeyProvInfo> parseKeyProvInfo(const BYTE* data, size_t size);
// The CRYPT_KEY_PROV_INFO structure followed by everything it points to, as
// CertGetCertificateContextProperty hands it out in one caller buffer. A null dest only
// measures; otherwise dest must hold the returned size and should be pointer-aligned.
size_t flattenKeyProvInfo(const KeyProvInfo& info, BYTE* dest);

}  // namespace vantor::crypt32
