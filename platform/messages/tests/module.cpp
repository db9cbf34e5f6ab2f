// The test library's one function: formats its own message the way a deliverable library does,
// finding its module handle from an address inside itself.
#include "win/libloaderapi.h"
#include "win/winbase_messages.h"

VANTOR_EXPORT DWORD MsgTestFormatOwn(DWORD id, LPSTR buffer, DWORD size) {
    HMODULE self = GetModuleHandleFromAddress(reinterpret_cast<const void*>(&MsgTestFormatOwn));
    if (self == nullptr) {
        return 0;
    }
    return FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, self, id,
                          0x0409, buffer, size, nullptr);
}
