// What the other-functions panel reads from a token through the automation library: the
// certificate objects, one object's certificate value, and the token's identification.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "com_ref.h"
#include "pavlox_interfaces.h"

namespace tesmira {

class Pkcs11Lib;

// The token's identification as TokenInfo reports it.
struct TokenDetails {
    std::string serialNumber;
    std::string manufacturerId;
    std::string model;
    std::string label;
};

// Pkcs11Lib.TokenInfo(slot): nothing when the call hands back no object; RuntimeError with the
// HRESULT when the call or a property read fails.
std::optional<TokenDetails> ReadTokenDetails(const Pkcs11Lib& lib, std::int32_t slot);

// The raw CKA_VALUE of a token object, read without stopping on a missing attribute: nothing
// unless exactly one attribute comes back. RuntimeError when the read itself fails.
std::optional<std::vector<unsigned char>> ReadObjectValue(pavlox::IP11Object* object);

}  // namespace tesmira
