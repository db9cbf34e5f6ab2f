// Languages and locales: Windows language identifiers derived from the POSIX locale.
#pragma once

#include "win/windef.h"

using LANGID = WORD;
using LCID = DWORD;

// Language identifier = primary language (10 bits) | sublanguage << 10; a locale identifier adds
// a sort identifier in bits 16-19 (always SORT_DEFAULT here).
#ifndef MAKELANGID
#define MAKELANGID(p, s) static_cast<WORD>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))
#define PRIMARYLANGID(lgid) static_cast<WORD>(static_cast<WORD>(lgid) & 0x3ff)
#define SUBLANGID(lgid) static_cast<WORD>(static_cast<WORD>(lgid) >> 10)
#ifndef MAKELCID  // wtypes.h defines the same value
#define MAKELCID(lgid, srtid)                                                 \
    static_cast<DWORD>((static_cast<DWORD>(static_cast<WORD>(srtid)) << 16) | \
                       static_cast<WORD>(lgid))
#endif
#define LANGIDFROMLCID(lcid) static_cast<LANGID>(lcid)
#define SORT_DEFAULT 0x0
#endif

#ifndef LANG_NEUTRAL
#define LANG_NEUTRAL 0x00
#define LANG_CHINESE 0x04
#define LANG_GERMAN 0x07
#define LANG_GREEK 0x08
#define LANG_ENGLISH 0x09
#define LANG_SPANISH 0x0a
#define LANG_FRENCH 0x0c
#define LANG_ITALIAN 0x10

#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_ENGLISH_UK 0x02
#define SUBLANG_ITALIAN 0x01
#define SUBLANG_ITALIAN_SWISS 0x02
#define SUBLANG_SPANISH 0x01
#define SUBLANG_SPANISH_MODERN 0x03
#define SUBLANG_CHINESE_TRADITIONAL 0x01
#define SUBLANG_CHINESE_SIMPLIFIED 0x02
#define SUBLANG_CHINESE_HONGKONG 0x03
#define SUBLANG_CHINESE_SINGAPORE 0x04
#define SUBLANG_CHINESE_MACAU 0x05
#define SUBLANG_GREEK 0x01
#endif

#ifndef LOCALE_USER_DEFAULT
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
// What Windows reports for a user locale that has no identifier of its own.
#define LOCALE_CUSTOM_UNSPECIFIED 0x1000
#endif

// Every call reads the POSIX locale afresh from the environment, in the POSIX order for
// messages: the first non-empty of LC_ALL, LC_MESSAGES and LANG ("it_CH.UTF-8" -> 0x0810,
// "es_ES" -> 0x0C0A modern sort, "es_ES@traditional" -> 0x040A, "zh_HK" -> 0x0C04, ...).
// Unset, "C" and "POSIX" are English (United States); a language we do not know gives
// LOCALE_CUSTOM_UNSPECIFIED, which no message table carries, so lookups fall back by language 0.
// Linux has no separate system locale visible to a user process, so the system default is
// derived the same way as the user default.
LANGID GetUserDefaultLangID();
LANGID GetSystemDefaultLangID();
LCID GetUserDefaultLCID();
LCID GetSystemDefaultLCID();

// The calling thread's locale: the value set by SetThreadLocale on this thread, otherwise the
// user default. SetThreadLocale(LOCALE_USER_DEFAULT or LOCALE_SYSTEM_DEFAULT) returns the thread
// to following the environment; an identifier with no primary language fails with
// ERROR_INVALID_PARAMETER.
LCID GetThreadLocale();
BOOL SetThreadLocale(LCID locale);

// Not a Windows call: the language identifier of one POSIX locale name (the mapping above), so
// that callers and tests can ask about a locale without changing the environment.
LANGID VantorLangIdFromPosixLocale(const char* name);
