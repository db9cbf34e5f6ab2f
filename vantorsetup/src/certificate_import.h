// The import of the token's certificates into the user's stores, done by the card provider.
#pragma once

#include "win/winuser.h"

namespace vantorsetup {

// Loads "tvxcsp32.dll" for this one call and runs its Card2WinStore with an empty command line,
// so that the provider asks for the PIN and reports the outcome itself. False when the library
// or its Card2WinStore is missing.
bool importCertificates(HWND owner);

}  // namespace vantorsetup
