// CPImportKey's token paths: a session key unwrapped by the token key, and a private key
// written to the token in place of the label's key.
#pragma once

#include "provider_context.h"

namespace tvx {

// A SIMPLEBLOB wrapped for the token key: unwrapped on the token, then imported into the
// software provider through the identity key.
DWORD importSimpleBlob(ProviderContext& ctx, const BYTE* data, DWORD length, DWORD flags,
                       HCRYPTKEY* key);
// A PRIVATEKEYBLOB written to the token as the label's private key.
DWORD importPrivateKey(ProviderContext& ctx, const BYTE* data, DWORD length, HCRYPTKEY* key);

}  // namespace tvx
