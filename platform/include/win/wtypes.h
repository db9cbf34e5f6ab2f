// Automation base types: VARTYPE and the VT_* codes, BSTR, VARIANT_BOOL, DATE, CY, DECIMAL, LCID.
#pragma once

#include "win/guiddef.h"
#include "win/windef.h"

#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT
#define STDAPI_(type) extern "C" type

using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A BSTR points at UTF-16 text preceded by its byte length and followed by a NUL; null is "".
using BSTR = OLECHAR*;
using LPBSTR = BSTR*;
using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
using DATE = double;
using SCODE = LONG;
using LCID = DWORD;
using LANGID = WORD;
using DISPID = LONG;
using MEMBERID = DISPID;
using HREFTYPE = DWORD;
using SHORT = short;
using USHORT = unsigned short;
using FLOAT = float;
using DOUBLE = double;

#define VARIANT_TRUE static_cast<VARIANT_BOOL>(-1)
#define VARIANT_FALSE static_cast<VARIANT_BOOL>(0)

// A currency value: a 64-bit integer scaled by 10,000.
struct CY {
    LONGLONG int64;
};

// A 96-bit decimal with sign and scale (layout only; conversions do not cover it).
struct DECIMAL {
    USHORT wReserved;
    BYTE scale;
    BYTE sign;
    ULONG Hi32;
    ULONGLONG Lo64;
};

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_CARRAY = 28,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_RECORD = 36,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_RESERVED = 0x8000,
    VT_TYPEMASK = 0x0fff,
};

// Locales: the suite formats and parses as US English whatever locale is asked for.
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_NEUTRAL 0x0000u
#define LOCALE_INVARIANT 0x007Fu
#ifndef MAKELCID  // winnls.h defines the same value
#define MAKELCID(lang, sort)                               \
    ((static_cast<DWORD>(static_cast<WORD>(sort)) << 16) | \
     static_cast<DWORD>(static_cast<WORD>(lang)))
#endif
