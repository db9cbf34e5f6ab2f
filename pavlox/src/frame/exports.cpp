// The exports of pavlox.so: DllMain, DllCanUnloadNow, DllGetClassObject, DllRegisterServer,
// DllUnregisterServer. Nothing is thrown across them.
#include <limits.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <string>

#include "frame/module.h"
#include "frame/registration.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"

namespace pavlox {
HRESULT classFactory(REFCLSID clsid, REFIID riid, void** object);
}

VANTOR_EXPORT BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        // The PKCS#12 import decrypts with whatever cipher and digest the file names.
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    }
    return TRUE;
}

namespace {

// The loader of this platform calls no DllMain; the library announces its own attach.
__attribute__((constructor)) void attach() {
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
}

std::string modulePath() {
    char path[4096];
    DWORD n = GetModuleFileNameA(GetModuleHandleFromAddress(reinterpret_cast<const void*>(&attach)),
                                 path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) {
        return {};
    }
    // The registry must name the module by a full path whatever path loaded it.
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

VANTOR_EXPORT HRESULT WINAPI DllCanUnloadNow() {
    return pavlox::moduleLockCount() == 0 ? S_OK : S_FALSE;
}

VANTOR_EXPORT HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    return guarded([&] { return pavlox::classFactory(clsid, riid, object); });
}

VANTOR_EXPORT HRESULT WINAPI DllRegisterServer() {
    return guarded([] {
        std::string path = modulePath();
        if (path.empty()) {
            return SELFREG_E_CLASS;
        }
        return pavlox::registerServer(path);
    });
}

VANTOR_EXPORT HRESULT WINAPI DllUnregisterServer() {
    return guarded([] { return pavlox::unregisterServer(); });
}
