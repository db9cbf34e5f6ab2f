// The tool entry points ExportCert and Card2WinStore: thin guards around the import work. They
// run without the provider mutex.
#include "store_import.h"
#include "win/errhandlingapi.h"
#include "win/windef.h"
#include "win/winerror.h"
#include "win/winuser.h"

VANTOR_EXPORT BOOL ExportCert(BOOL requireKey) {
    try {
        const DWORD result = tvx::exportCertificates(requireKey != FALSE);
        SetLastError(result);
        return result == 0 ? TRUE : FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

// rundll-style signature: window, instance, command line, show state; no result. Only the
// command line is used; the outcome is the thread's last error (0 or 0xE0000001).
VANTOR_EXPORT void Card2WinStore(HWND, HINSTANCE, LPSTR cmdLine, int) {
    try {
        SetLastError(tvx::importToStores(cmdLine));
    } catch (...) {
        SetLastError(tvx::kImportFailed);
    }
}
