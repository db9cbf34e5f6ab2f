// The CryptoAPI front end as the certificate code reaches it: found at link time when the
// program carries it, absent otherwise (so crypt32 builds and works without it).
#pragma once

#include "win/wincrypt_types.h"

namespace vantor::crypt32 {

using AcquireContextW = BOOL (*)(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD);
using AcquireContextA = BOOL (*)(HCRYPTPROV*, LPCSTR, LPCSTR, DWORD, DWORD);

// Each null when the program does not link the front end.
AcquireContextW capiAcquireContextW();
AcquireContextA capiAcquireContextA();

}  // namespace vantor::crypt32
