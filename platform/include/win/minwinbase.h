// FILETIME and SYSTEMTIME, the time structures shared by the registry and OLE Automation calls.
#pragma once

#include "win/windef.h"

// 100-nanosecond intervals since 1601-01-01 UTC, split into two 32-bit halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;
using LPFILETIME = FILETIME*;

// A calendar date and time; wDayOfWeek counts from Sunday = 0.
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using PSYSTEMTIME = SYSTEMTIME*;
using LPSYSTEMTIME = SYSTEMTIME*;
