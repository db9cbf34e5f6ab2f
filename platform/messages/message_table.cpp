// Finding a module's compiled message table; LoadStringA and the local heap over it.
#include "message_table.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winbase_messages.h"
#include "win/winerror.h"
#include "win/winuser_strings.h"

namespace {

// True when address lies in a loaded segment of the program itself (the first object that
// dl_iterate_phdr reports is always the executable).
bool isInProgram(const void* address) {
    struct Query {
        ElfW(Addr) address;
        bool found;
        bool first;
    } query{reinterpret_cast<ElfW(Addr)>(address), false, true};
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) -> int {
            auto* q = static_cast<Query*>(data);
            if (!q->first) {
                return 1;
            }
            q->first = false;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) {
                    continue;
                }
                ElfW(Addr) start = info->dlpi_addr + ph.p_vaddr;
                if (q->address >= start && q->address < start + ph.p_memsz) {
                    q->found = true;
                }
            }
            return 1;
        },
        &query);
    return query.found;
}

VantorGetMessageTableFn findTableFunction(HMODULE module) {
    if (module != nullptr) {
        return ProcAs<VantorGetMessageTableFn>(GetProcAddress(module, VANTOR_MESSAGE_TABLE_SYMBOL));
    }
    // Null is the program. The program's handle also searches the libraries loaded with it, so
    // a table found there is accepted only if it lives in the executable itself.
    void* self = dlopen(nullptr, RTLD_NOW);
    if (self == nullptr) {
        return nullptr;
    }
    void* sym = dlsym(self, VANTOR_MESSAGE_TABLE_SYMBOL);
    dlclose(self);
    if (sym == nullptr || !isInProgram(sym)) {
        return nullptr;
    }
    return reinterpret_cast<VantorGetMessageTableFn>(sym);
}

}  // namespace

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
