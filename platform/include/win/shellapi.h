// Shell program launch: ShellExecuteA's "open" of a program by its Windows file name.
#pragma once

#include "win/windef.h"
#include "win/winuser.h"

// Results of 32 or less are failures; these are the ones ShellExecuteA gives here.
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31

// Opens file (operation null or "open"): "Name.exe" names the program "name", looked up beside
// the running program and then on PATH, unless file holds a path. The program starts detached
// with parameters split at spaces and, when given, in directory; nothing waits for it. The
// show command is accepted and ignored (programs decide their own windows here).
HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters,
                        LPCSTR directory, INT showCommand);
