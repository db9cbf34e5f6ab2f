// The smart-logon marker: the token's one public data object naming the container that smart
// card logon uses.
#pragma once

#include "pkcs11/pkcs11.h"
#include "win/windef.h"

#include <string>

namespace tvx {

inline constexpr char kSmartLogonLabel[] = "CSPSmartLogon";

// Writes the marker with the container label as its value, replacing an existing marker.
// 0 or rv + 22000.
DWORD writeSmartLogonMarker(CK_SESSION_HANDLE session, const std::string& label);

}  // namespace tvx
