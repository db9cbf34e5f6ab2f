// The tool entry points ExportCert and Card2WinStore. They run without the provider mutex; the
// certificate propagation they start is not part of this build yet, so both refuse clearly.
#include "win/errhandlingapi.h"
#include "win/windef.h"
#include "win/winerror.h"
#include "win/winuser.h"

VANTOR_EXPORT BOOL ExportCert(BOOL) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

// rundll-style signature: window, instance, command line, show state; no result.
VANTOR_EXPORT void Card2WinStore(HWND, HINSTANCE, LPSTR, int) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
}
