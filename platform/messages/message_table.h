// The layout of a module's compiled message table, shared by the generator's output and the
// platform code that reads the table of any module.
#pragma once

#include "win/windef.h"

// One message: its identifier, its language and its stored text. The stored text is what the
// source file gives followed by CR LF, as a message compiler stores each message; "%0" at the
// end of a text is what keeps that line break out of the formatted result.
struct VANTOR_MESSAGE_ENTRY {
    DWORD id;
    WORD language;
    WORD reserved;
    DWORD length;  // bytes of text, without a terminator
    const char* text;
};

// One string-table resource (LoadStringA); strings carry no language.
struct VANTOR_STRING_ENTRY {
    DWORD id;
    DWORD length;
    const char* text;
};

#define VANTOR_MESSAGE_TABLE_MAGIC 0x4C42544DU  // "MTBL"
#define VANTOR_MESSAGE_TABLE_VERSION 1U

// Messages are sorted by id, then language; strings by id; no pair appears twice (the generator
// refuses duplicates). Readers still check the header before trusting the rest.
struct VANTOR_MESSAGE_TABLE {
    DWORD magic;
    DWORD version;
    DWORD messageCount;
    const VANTOR_MESSAGE_ENTRY* messages;
    DWORD stringCount;
    const VANTOR_STRING_ENTRY* strings;
};

// Every module with a table exports this function (a shared library lists it in its export
// list; a program is linked with exported dynamic symbols).
#define VANTOR_MESSAGE_TABLE_SYMBOL "VantorGetMessageTable"
using VantorGetMessageTableFn = const VANTOR_MESSAGE_TABLE* (*)();

// A shared library whose export list holds exactly its own entry points does not export its
// table function; it registers it here (once, before its first lookup) so that lookups with its
// own module handle find the table all the same. Lookups for other modules are unaffected.
void VantorRegisterOwnMessageTable(VantorGetMessageTableFn fn);

// The table of a module (null: the program), or null when it carries none or a malformed one.
const VANTOR_MESSAGE_TABLE* VantorFindMessageTable(HMODULE module);
