// The server module: its lock count and the map of its classes.
#pragma once

#include "win/objbase.h"
#include "win/oleauto.h"

namespace pavlox {

// Every live object, locked server and held type info counts; DllCanUnloadNow is S_OK at zero.
void moduleLock();
void moduleUnlock();
LONG moduleLockCount();

using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** object);

// One coclass of the server, as registered and as its class factory creates it.
struct ClassEntry {
    const CLSID* clsid;
    const char* progId;  // version-independent; null for a class without registration
    const char* versionedProgId;
    const char* friendlyName;
    const char* threadingModel;
    CreateFunction create;  // null for a class that clients cannot create
};

const ClassEntry* classEntries(size_t& count);
const ClassEntry* findClass(REFCLSID clsid);

}  // namespace pavlox
