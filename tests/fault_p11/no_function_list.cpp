// A library that looks like a PKCS#11 module but lacks C_GetFunctionList: loaders must refuse it.
#include "win/windef.h"

// Some exported entry, so that the library is a real, loadable one with a symbol table.
VANTOR_EXPORT unsigned long C_Initialize(void*) {
    return 0;
}
