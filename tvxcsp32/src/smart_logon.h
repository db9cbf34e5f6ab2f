// The smart-logon marker: the token's one public data object naming the container that smart
// card logon uses, and the lookup that turns a reader-only container name into that container.
#pragma once

#include "pkcs11/pkcs11.h"
#include "win/windef.h"

#include <string>

namespace tvx {

inline constexpr char kSmartLogonLabel[] = "CSPSmartLogon";
inline constexpr char kSmartLogonDefault[] = "SmartLogon";

// Writes the marker with the container label as its value, replacing an existing marker.
// 0 or rv + 22000.
DWORD writeSmartLogonMarker(CK_SESSION_HANDLE session, const std::string& label);

// Reads the marker's value (at most 1023 bytes). 0, ERR_DATA_OBJECT_MISSING or rv + 22000.
DWORD readSmartLogonMarker(CK_SESSION_HANDLE session, std::string* value);

// The container smart-card logon uses on the token in the named reader: the marker's value,
// else the registry's "SmartLogonContainerName", else "SmartLogon". When the token cannot be
// reached the name is empty and *cardResult holds why (0 otherwise).
std::string lookUpSmartLogonContainer(const std::string& reader, DWORD* cardResult);

}  // namespace tvx
