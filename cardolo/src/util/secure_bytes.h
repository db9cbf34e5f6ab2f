// The suite's wiping byte buffers, under the card library's namespace.
#pragma once

#include "vantor/secure_bytes.h"

namespace cardolo {
using vantor::SecureBytes;
using vantor::secureWipe;
}  // namespace cardolo
