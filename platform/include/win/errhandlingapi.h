// Thread-local last-error value (GetLastError / SetLastError).
#pragma once

#include "win/windef.h"

// One value per thread for the whole process, as on Windows where it lives in the system
// library: these two live in the shared libvantorkernel.so, so a code set by a provider image or
// a plug-in is the code its caller reads, whichever module set it.
extern "C" __attribute__((visibility("default"))) DWORD GetLastError();
extern "C" __attribute__((visibility("default"))) void SetLastError(DWORD error);
