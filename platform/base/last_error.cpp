// Thread-local last-error value, as each Windows thread has its own.
#include "win/errhandlingapi.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}
