// The identity key imported into every context's software provider.
#pragma once

#include <array>
#include <cstddef>

namespace tvx {

inline constexpr std::size_t kIdentityKeyBlobLength = 596;
inline constexpr std::size_t kIdentityKeyImportLength = 597;
extern const std::array<unsigned char, kIdentityKeyImportLength> kIdentityKeyBlob;

}  // namespace tvx
