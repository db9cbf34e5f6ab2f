// Finding a module's compiled message table; LoadStringA and the local heap over it.
#include "message_table.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "win/errhandlingapi.h"
#include "win/winbase_messages.h"
#include "win/winerror.h"
#include "win/winuser_strings.h"

namespace {

// The table function a module registered for itself (VantorRegisterOwnMessageTable). Each module
// links its own copy of this area, so this is that module's and no other's.
VantorGetMessageTableFn registeredOwnTable = nullptr;

// The link map of the module that holds this code.
struct link_map* ownLinkMap() {
    Dl_info info{};
    struct link_map* own = nullptr;
    if (dladdr1(reinterpret_cast<const void*>(&ownLinkMap), &info, reinterpret_cast<void**>(&own),
                RTLD_DL_LINKMAP) == 0) {
        return nullptr;
    }
    return own;
}

// The table function of exactly this module. dlsym on a handle also searches the objects the
// module depends on (and, for the program, everything loaded with it), so a symbol found there
// is accepted only when it lives in the module itself: a module without a table of its own has
// none, whatever its neighbours carry. Null is the program.
VantorGetMessageTableFn findTableFunction(HMODULE module) {
    void* handle = module != nullptr ? static_cast<void*>(module) : dlopen(nullptr, RTLD_NOW);
    if (handle == nullptr) {
        return nullptr;
    }
    struct link_map* own = nullptr;
    void* sym = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &own) == 0 && own != nullptr) {
        sym = dlsym(handle, VANTOR_MESSAGE_TABLE_SYMBOL);
    }
    if (module == nullptr) {
        dlclose(handle);
    }
    Dl_info info{};
    struct link_map* owner = nullptr;
    if (sym != nullptr &&
        dladdr1(sym, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0 &&
        owner == own) {
        return reinterpret_cast<VantorGetMessageTableFn>(sym);
    }
    // Not exported: the module's table is reachable only from its own code.
    if (own != nullptr && own == ownLinkMap()) {
        return registeredOwnTable;
    }
    return nullptr;
}

}  // namespace

void VantorRegisterOwnMessageTable(VantorGetMessageTableFn fn) {
    registeredOwnTable = fn;
}

const VANTOR_MESSAGE_TABLE* VantorFindMessageTable(HMODULE module) {
    DWORD savedError = GetLastError();
    VantorGetMessageTableFn fn = findTableFunction(module);
    SetLastError(savedError);  // a module without a table is an answer, not an error of the caller
    if (fn == nullptr) {
        return nullptr;
    }
    const VANTOR_MESSAGE_TABLE* table = fn();
    if (table == nullptr || table->magic != VANTOR_MESSAGE_TABLE_MAGIC ||
        table->version != VANTOR_MESSAGE_TABLE_VERSION ||
        (table->messageCount != 0 && table->messages == nullptr) ||
        (table->stringCount != 0 && table->strings == nullptr)) {
        return nullptr;
    }
    return table;
}

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const VANTOR_MESSAGE_TABLE* table = VantorFindMessageTable(instance);
    const VANTOR_STRING_ENTRY* end = table ? table->strings + table->stringCount : nullptr;
    const VANTOR_STRING_ENTRY* it =
        table ? std::lower_bound(table->strings, end, id,
                                 [](const VANTOR_STRING_ENTRY& e, UINT v) { return e.id < v; })
              : nullptr;
    if (it == end || it->id != id) {
        buffer[0] = '\0';
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    size_t n = std::min<size_t>(it->length, static_cast<size_t>(size) - 1);
    std::memcpy(buffer, it->text, n);
    buffer[n] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<int>(n);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    // malloc(0) may return null; a local block of 0 bytes is still a valid block.
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                      : std::malloc(bytes ? bytes : 1);
    if (p == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return p;
}

HLOCAL LocalFree(HLOCAL mem) {
    std::free(mem);
    return nullptr;
}
