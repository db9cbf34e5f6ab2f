// Self-registration of the plug-in: its type library only.
#pragma once

#include <string>

#include "win/windef.h"
#include "win/winerror.h"

namespace crvk2plg {

HRESULT registerTypeLibrary(const std::string& modulePath);
HRESULT unregisterTypeLibrary();

}  // namespace crvk2plg
