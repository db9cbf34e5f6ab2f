// Control exports of fault_pkcs11.so, besides C_GetFunctionList: configuration and statistics.
#pragma once

#include "win/windef.h"

#include <cstddef>

// Count returned for a key the module does not know.
inline constexpr unsigned long kFaultP11NoSuchKey = ~0UL;

extern "C" {
// Replaces the whole state with the configuration (see README.md): tokens rebuilt, sessions
// dropped, counters zeroed, the module initialized only if "preinitialized". 0 on success; -1
// on a bad directive, state unchanged, reason in FaultP11_LastError. Not for use while other
// threads call the module.
VANTOR_EXPORT int FaultP11_Configure(const char* spec);
// Why the last configuration (or FAULT_P11_CONFIG at load) was refused; "" when it was not.
VANTOR_EXPORT const char* FaultP11_LastError(void);
// Calls of an entry point ("C_GetAttributeValue", ..., "unsupported" for every other entry)
// since the last configuration or reset, or one of "overlaps", "initialized",
// "init_args_null" (the last successful C_Initialize had a null argument), "sessions" (open).
VANTOR_EXPORT unsigned long FaultP11_Count(const char* key);
// Zeroes the call and overlap counters only.
VANTOR_EXPORT void FaultP11_ResetCounts(void);
// The non-zero counters as text ("C_GetInfo=2 C_Initialize=1 overlaps=0 ..."), cut to fit and
// always terminated; returns the full length without the terminator.
VANTOR_EXPORT size_t FaultP11_Stats(char* buffer, size_t size);
}
