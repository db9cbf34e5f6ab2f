// The base of the Windows API subset: types, codes, last error, sleep, loader.
#pragma once

#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/synchapi.h"
#include "win/windef.h"
#include "win/winerror.h"
