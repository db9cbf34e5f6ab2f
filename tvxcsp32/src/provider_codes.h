// The provider's own parameter numbers, result codes and fixed names.
#pragma once

#include "win/windef.h"

namespace tvx {

inline constexpr char kProviderName[] = "Vantor Cryptographic Service Provider";
inline constexpr char kMutexName[] = "{9A222996-D6E2-4c9f-AC92-D40CC6ECE6F8}";
inline constexpr char kScratchContainer[] = "{6E0008B1-AFAF-4719-BB1F-65A4341652F9}";
inline constexpr char kProviderKey[] =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Vantor Cryptographic Service Provider";
inline constexpr char kSettingsKey[] = "SOFTWARE\\TVX-NET\\Vantor\\VantorSetup\\Settings";
inline constexpr char kDefaultModules[] = "qrpkisc.dll;tvxpkilc.dll;tvxpki32.dll;corvakey2.dll";

// Provider parameters of this provider (CPGetProvParam / CPSetProvParam).
inline constexpr DWORD PP_FORCE_PIN = 1000;
inline constexpr DWORD PP_SLOT_NAME = 1001;
inline constexpr DWORD PP_SLOT_INDEX = 1002;
inline constexpr DWORD PP_LAST_CARD_ERROR = 1003;

// Card-step results: a PKCS#11 value other than CKR_OK is reported as rv + kPkcs11ErrorBase.
inline constexpr DWORD kPkcs11ErrorBase = 22000;
inline constexpr DWORD ERR_DATA_OBJECT_MISSING = 22048;
inline constexpr DWORD ERR_NO_BOUND_KEY = 22130;
inline constexpr DWORD ERR_SLOT_NOT_FOUND = 22501;
inline constexpr DWORD ERR_AMBIGUOUS_OBJECT = 22502;
inline constexpr DWORD ERR_PIN_CANCELLED = 22503;
inline constexpr DWORD ERR_READERS_CHANGED = 22504;

// The code this provider reports for a PIN that was refused or could not be asked for. Its
// callers test for exactly this value (0x8010002A), which is not the platform's
// SCARD_W_WRONG_CHV (0x8010006B), so it has a name of its own.
inline constexpr DWORD kWrongChv = 0x8010002Au;

// CPSetKeyParam on the card key: write the smart-logon marker for the context's container.
inline constexpr DWORD KP_SMARTLOGON = 0x80000001u;

// Marker of a private-key import in the context flags (keys entry points).
inline constexpr DWORD kImportMarker = 0x08000000u;

// The provider key handle that stands for the token key of a context.
inline constexpr ULONG_PTR CARD_KEY_HANDLE = 0xFFFFFFFFu;

// SlotSelector index form: {kSlotIndexTag, index}.
inline constexpr DWORD kSlotIndexTag = 0xDEADBEEFu;

}  // namespace tvx
