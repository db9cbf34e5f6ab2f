// The token key's certificate (KP_CERTIFICATE on the card key handle).
#pragma once

#include "provider_context.h"

namespace tvx {

// BindCard, then the CKA_VALUE of the one certificate whose CKA_ID is the container label, with
// the size protocol. 0, ERROR_MORE_DATA, ERROR_NOT_FOUND, NTE_BAD_TYPE or NTE_PROVIDER_DLL_FAIL.
DWORD cardKeyParam(ProviderContext& ctx, DWORD param, BYTE* data, DWORD* length);

// CPSetKeyParam on the card key handle: KP_CERTIFICATE writes the certificate beside the key
// (and the smart-logon marker for a smart-card logon certificate), KP_SMARTLOGON the marker.
DWORD setCardKeyParam(ProviderContext& ctx, DWORD param, const BYTE* data);

}  // namespace tvx
