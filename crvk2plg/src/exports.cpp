// The exports of crvk2plg.so: the two plug-in generations and the in-process server's entry
// points. Nothing is thrown across them.
#include <limits.h>
#include <stdlib.h>

#include <new>
#include <string>

#include "crvk2plg.h"
#include "objects.h"
#include "registration.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"

namespace {

std::string modulePath() {
    char path[4096];
    DWORD n = GetModuleFileNameA(
        GetModuleHandleFromAddress(reinterpret_cast<const void*>(&modulePath)), path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) {
        return {};
    }
    // The registry names the module by its full path whatever path loaded it.
    char full[PATH_MAX];
    return realpath(path, full) != nullptr ? std::string(full) : std::string(path, n);
}

template <typename Body>
HRESULT guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace

VANTOR_EXPORT IPinPluginV1* crvk2GetPluginInterfaceV1(void) {
    return &crvk2plg::staticPlugin();
}

VANTOR_EXPORT IPinPluginV4* crvk2GetPlgV4(void) {
    return new (std::nothrow) crvk2plg::Plugin;
}

VANTOR_EXPORT HRESULT WINAPI DllCanUnloadNow() {
    return crvk2plg::moduleLockCount() == 0 ? S_OK : S_FALSE;
}

// The library serves no class; its type library declares none.
VANTOR_EXPORT HRESULT WINAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

VANTOR_EXPORT HRESULT WINAPI DllRegisterServer() {
    return guarded([] {
        const std::string path = modulePath();
        return path.empty() ? SELFREG_E_TYPELIB : crvk2plg::registerTypeLibrary(path);
    });
}

VANTOR_EXPORT HRESULT WINAPI DllUnregisterServer() {
    return guarded([] { return crvk2plg::unregisterTypeLibrary(); });
}
