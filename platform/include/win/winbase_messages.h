// Message formatting: FormatMessageA over the message tables compiled into each module, and the
// local heap calls that free its allocated buffers.
#pragma once

#include <cstdarg>

#include "win/windef.h"
#include "win/winnls.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

using HLOCAL = void*;

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Returns null on success, as on Windows.
HLOCAL LocalFree(HLOCAL mem);

// Where the tables live: every module (the program or a shared library) that has texts carries
// one table, compiled from its readable message source, and exports the function named
// VANTOR_MESSAGE_TABLE_SYMBOL that returns it (see platform/messages/message_table.h). A
// dlopen'ed library has its own copy of every static library, so no process-wide registry could
// see all tables; instead FORMAT_MESSAGE_FROM_HMODULE asks the module itself: the symbol is
// looked up on the handle (a null handle is the program, which is linked with exported dynamic
// symbols) and accepted only when it lies in that very module, never in a library it depends on.
//
// The subset implemented, with the Windows behaviour:
// - sources: FORMAT_MESSAGE_FROM_HMODULE, FORMAT_MESSAGE_FROM_STRING; FORMAT_MESSAGE_FROM_SYSTEM
//   has no table of its own here, so a system lookup finds nothing (ERROR_MR_MID_NOT_FOUND);
// - language: an exact language, or 0 for the search neutral, thread, user, system,
//   English (United States), then whatever language the message exists in;
//   errors ERROR_RESOURCE_TYPE_NOT_FOUND (module without a table), ERROR_MR_MID_NOT_FOUND (no
//   such message), ERROR_RESOURCE_LANG_NOT_FOUND (not in that language);
// - escapes: %0 ends the text without a line break, %% %. %! %space %t %r %n (CR LF);
// - inserts %1 to %99 with an optional !printf format!: copied unchanged with
//   FORMAT_MESSAGE_IGNORE_INSERTS; filled from FORMAT_MESSAGE_ARGUMENT_ARRAY (an array of
//   DWORD_PTR passed as the last argument); a va_list, or inserts without arguments, fail with
//   ERROR_INVALID_PARAMETER;
// - width: 0 keeps the text's line breaks, FORMAT_MESSAGE_MAX_WIDTH_MASK turns them into
//   spaces; other widths fail with ERROR_INVALID_PARAMETER;
// - the result is terminated; a buffer that cannot hold it and the terminator fails with
//   ERROR_INSUFFICIENT_BUFFER and nothing written; with FORMAT_MESSAGE_ALLOCATE_BUFFER the
//   buffer argument is an LPSTR* that receives a LocalAlloc block of at least size bytes.
// Returns the number of characters stored, without the terminator; 0 on failure.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments);
