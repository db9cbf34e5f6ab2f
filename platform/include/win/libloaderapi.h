// Dynamic loading: LoadLibraryA, GetProcAddress, FreeLibrary, GetModuleFileNameA, GetModuleHandleA.
#pragma once

#include "win/windef.h"

// A name ending in ".dll" (any case) is looked for as the same base name with ".so", first beside
// the loading module, then beside the program, then on the system search path; any other name
// goes to dlopen unchanged. Failure returns null with ERROR_MOD_NOT_FOUND as the last error, or
// ERROR_BAD_EXE_FORMAT when the file found is not a loadable image of this machine or is
// truncated (its headers or segments reach past its end): such a file is never handed to dlopen.
HMODULE LoadLibraryA(LPCSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
// Full path of a loaded module (null: the program), with the Windows truncation rules: the
// result is cut to size-1 characters, terminated, and ERROR_INSUFFICIENT_BUFFER set.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
// The module that contains the given address (for "this module" lookups from inside a library).
HMODULE GetModuleHandleFromAddress(const void* address);

// Casts a GetProcAddress result to the function type wanted.
template <typename Fn>
Fn ProcAs(FARPROC proc) {
    return reinterpret_cast<Fn>(proc);
}
