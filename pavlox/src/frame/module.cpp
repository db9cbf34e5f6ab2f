// CPavloxModule: the lock count, the class map and the cached class factories.
#include "frame/module.h"

#include <atomic>
#include <iterator>

#include "classes/p11_attribute.h"
#include "classes/p11_object.h"
#include "classes/p11_session.h"
#include "classes/pkcs11_lib.h"
#include "classes/token_info.h"
#include "classes/util.h"
#include "classes/variant_collection.h"
#include "frame/object_root.h"

namespace pavlox {

namespace {

std::atomic<LONG> g_lockCount{0};

// In type-library order. The session and object classes have no factory and no registration:
// only OpenSession and FindObjects make them.
const ClassEntry kClasses[] = {
    {&CLSID_P11Attribute, "Pavlox.P11Attribute", "Pavlox.P11Attribute.1", "CP11Attribute Object",
     "both", &createObject<CP11Attribute>},
    {&CLSID_VariantCollection, "Pavlox.VariantCollection", "Pavlox.VariantCollection.1",
     "CVariantCollection Object", "both", &createObject<CVariantCollection>},
    {&CLSID_Pkcs11Lib, "Pavlox.Pkcs11Lib", "Pavlox.Pkcs11Lib.1", "CPkcs11Lib Object", "both",
     &createObject<CPkcs11Lib>},
    {&CLSID_P11Object, nullptr, nullptr, nullptr, nullptr, nullptr},
    {&CLSID_P11Session, nullptr, nullptr, nullptr, nullptr, nullptr},
    {&CLSID_TokenInfo, "Pavlox.TokenInfo", "Pavlox.TokenInfo.1", "CTokenInfo Object", "both",
     &createObject<CTokenInfo>},
    {&CLSID_Util, "Pavlox.Util", "Pavlox.Util.1", "CUtil Object", "apartment",
     &createObject<CUtil>},
};

// A class factory lives as long as the module; only LockServer keeps the module loaded.
class ClassFactory final : public IClassFactory {
  public:
    explicit ClassFactory(CreateFunction create) : create_(create) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        return create_(outer, riid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? moduleLock() : moduleUnlock();
        return S_OK;
    }

  private:
    CreateFunction create_;
};

}  // namespace

void moduleLock() {
    ++g_lockCount;
}

void moduleUnlock() {
    --g_lockCount;
}

LONG moduleLockCount() {
    return g_lockCount.load();
}

const ClassEntry* classEntries(size_t& count) {
    count = std::size(kClasses);
    return kClasses;
}

const ClassEntry* findClass(REFCLSID clsid) {
    for (const ClassEntry& e : kClasses) {
        if (*e.clsid == clsid) {
            return &e;
        }
    }
    return nullptr;
}

HRESULT classFactory(REFCLSID clsid, REFIID riid, void** object) {
    static ClassFactory factories[] = {
        ClassFactory(kClasses[0].create), ClassFactory(kClasses[1].create),
        ClassFactory(kClasses[2].create), ClassFactory(kClasses[3].create),
        ClassFactory(kClasses[4].create), ClassFactory(kClasses[5].create),
        ClassFactory(kClasses[6].create)};
    static_assert(std::size(factories) == std::size(kClasses));
    for (size_t i = 0; i < std::size(kClasses); ++i) {
        if (*kClasses[i].clsid == clsid) {
            if (kClasses[i].create == nullptr) {
                return CLASS_E_CLASSNOTAVAILABLE;
            }
            return factories[i].QueryInterface(riid, object);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT libraryTypeInfo(int typeIndex, ITypeInfo** info) {
    ITypeLib* lib = nullptr;
    HRESULT hr = vantor::ole::GetTableTypeLib(typeLibrary(), &lib);
    if (FAILED(hr)) {
        return hr;
    }
    hr = lib->GetTypeInfo(static_cast<UINT>(typeIndex), info);
    lib->Release();
    return hr;
}

}  // namespace pavlox
