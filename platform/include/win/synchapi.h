// Sleep and the interlocked counters.
#pragma once

#include "win/windef.h"

void Sleep(DWORD milliseconds);
LONG InterlockedIncrement(LONG volatile* value);
LONG InterlockedDecrement(LONG volatile* value);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);
