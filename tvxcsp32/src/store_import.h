// The tool exports' work: ExportCert and Card2WinStore bind a card session of their own (no
// provider mutex), propagate the token's certificates and, for Card2WinStore, tell the user.
#pragma once

#include "win/windef.h"

namespace tvx {

// The last error Card2WinStore leaves for every failure.
inline constexpr DWORD kImportFailed = 0xE0000001u;

// BindCard with the PIN dialog, then the propagation. 0 or the failing step's result.
DWORD exportCertificates(bool requireKey);

// Parses the command line, imports and shows the outcome unless quiet. 0 or kImportFailed.
DWORD importToStores(const char* commandLine);

}  // namespace tvx
