// A test library whose export list leaves its message table out (as a deliverable with an exact
// export list does): it registers the table with its own copy of the lookup instead.
#include "message_table.h"
#include "win/libloaderapi.h"
#include "win/winbase_messages.h"

extern "C" const VANTOR_MESSAGE_TABLE* VantorGetMessageTable();

namespace {
__attribute__((constructor)) void registerTable() {
    VantorRegisterOwnMessageTable(&VantorGetMessageTable);
}
}  // namespace

VANTOR_EXPORT DWORD MsgTestHiddenFormatOwn(DWORD id, LPSTR buffer, DWORD size) {
    HMODULE self =
        GetModuleHandleFromAddress(reinterpret_cast<const void*>(&MsgTestHiddenFormatOwn));
    if (self == nullptr) {
        return 0;
    }
    return FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, self, id,
                          0x0409, buffer, size, nullptr);
}
