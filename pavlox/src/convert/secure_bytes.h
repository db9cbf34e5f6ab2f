// The suite's wiping byte buffers, under the automation library's namespace: attribute values
// may be keys or PINs.
#pragma once

#include "vantor/secure_bytes.h"

namespace pavlox {
using vantor::SecureBytes;
using vantor::secureWipe;
}  // namespace pavlox
