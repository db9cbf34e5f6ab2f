// Thread-local last-error value (GetLastError / SetLastError).
#pragma once

#include "win/windef.h"

DWORD GetLastError();
void SetLastError(DWORD error);
