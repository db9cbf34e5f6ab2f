// Self-registration of the server under HKEY_CLASSES_ROOT.
#pragma once

#include <string>

#include "win/windef.h"

namespace pavlox {

// modulePath is the full path written as InprocServer32 and as the type library's location.
HRESULT registerServer(const std::string& modulePath);
HRESULT unregisterServer();

}  // namespace pavlox
