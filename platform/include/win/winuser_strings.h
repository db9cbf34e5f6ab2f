// String-table resources: LoadStringA over the string entries of a module's compiled table.
#pragma once

#include "win/windef.h"
#include "win/winerror.h"

#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif

// Copies string resource id of the module (null: the program) into buffer, cut to size-1
// characters and terminated. Returns the characters copied; 0 with
// ERROR_RESOURCE_NAME_NOT_FOUND when the module has no such string (or no table), and 0 with
// ERROR_INVALID_PARAMETER for a null buffer or a size of 0.
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);
