// Registry calls (Reg*A) over one SQLite database per hive; VANTOR_REGISTRY_DIR moves both hives.
#pragma once

#include "win/minwinbase.h"
#include "win/windef.h"
#include "win/winerror.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

// Predefined roots carry the sign-extended Windows values. HKEY_CLASSES_ROOT is the machine
// hive's Software\Classes; HKEY_CURRENT_USER lives in the user hive, HKEY_LOCAL_MACHINE in the
// machine hive.
#define VANTOR_PREDEFINED_HKEY(v) \
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(v))))
#define HKEY_CLASSES_ROOT VANTOR_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER VANTOR_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE VANTOR_PREDEFINED_HKEY(0x80000002u)

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Access rights (checked: a key opened without KEY_SET_VALUE cannot be written).
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0x000F003Fu

// RegCreateKeyExA options and dispositions.
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE 0x1u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

// RegGetValueA type filters.
#define RRF_RT_REG_NONE 0x00000001u
#define RRF_RT_REG_SZ 0x00000002u
#define RRF_RT_REG_EXPAND_SZ 0x00000004u
#define RRF_RT_REG_BINARY 0x00000008u
#define RRF_RT_REG_DWORD 0x00000010u
#define RRF_RT_REG_MULTI_SZ 0x00000020u
#define RRF_RT_REG_QWORD 0x00000040u
#define RRF_RT_DWORD 0x00000018u
#define RRF_RT_QWORD 0x00000048u
#define RRF_RT_ANY 0x0000FFFFu
#define RRF_NOEXPAND 0x10000000u

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                        REGSAM desired, const SECURITY_ATTRIBUTES* security, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
// Reads a value of the key or of its subkey (subKey may be null), filtered by RRF_RT_* flags;
// REG_SZ/REG_EXPAND_SZ/REG_MULTI_SZ results are always terminated. REG_EXPAND_SZ is returned
// unexpanded (the system makes no use of environment expansion).
LSTATUS RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR valueName, DWORD flags, LPDWORD type,
                     PVOID data, LPDWORD dataSize);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize);
LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some), values included.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
// Deletes a subkey with everything below it; a null subKey empties the key itself.
LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey);
// Subkeys come in case-insensitive name order, values in the order they were first written.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved,
                      LPSTR keyClass, LPDWORD classChars, PFILETIME lastWriteTime);
LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LSTATUS RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classChars, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                         LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptor,
                         PFILETIME lastWriteTime);

// Vantor extension (Windows offers RegNotifyChangeKeyValue for this): a number that stays the
// same while nothing in the hive behind a predefined root has changed, and moves when anything
// has, written by this process or any other (or when the environment moved the hive). Cheap
// enough to ask before every use of a cache of registry content.
LSTATUS VantorRegGetChangeStamp(HKEY root, ULONGLONG* stamp);

// Where the hives live: the environment variable that moves both, and the file names inside it.
#define VANTOR_REGISTRY_DIR_ENV "VANTOR_REGISTRY_DIR"
