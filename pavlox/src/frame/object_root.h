// Common machinery of every server object: reference counting, aggregation, module lock,
// the aggregated free-threaded marshaler and table-driven IDispatch.
#pragma once

#include <atomic>
#include <new>

#include "frame/module.h"
#include "oleaut/typetable.h"
#include "typelib_tables.h"
#include "win/objbase.h"
#include "win/ocidl.h"

namespace pavlox {

class ObjectRoot {
  public:
    ObjectRoot(const ObjectRoot&) = delete;
    ObjectRoot& operator=(const ObjectRoot&) = delete;

    // The non-delegating IUnknown: the object's identity, and what an outer object holds.
    IUnknown* innerUnknown() { return &inner_; }
    // Where IUnknown calls on the object's interfaces go: the outer object when aggregated.
    IUnknown* controllingUnknown() { return outer_ != nullptr ? outer_ : &inner_; }

  protected:
    explicit ObjectRoot(IUnknown* outer) : inner_(this), outer_(outer) { moduleLock(); }
    virtual ~ObjectRoot() {
        if (marshaler_ != nullptr) {
            marshaler_->Release();
        }
        moduleUnlock();
    }

    // The interfaces the class answers, without AddRef; null when it has none for riid.
    virtual void* interfaceFor(REFIID riid) = 0;

    // Aggregates the free-threaded marshaler. The count is raised around the creation so that
    // an aggregation mishap cannot drop the object to zero and destroy it half-built.
    void aggregateMarshaler() {
        internalAddRef();
        CoCreateFreeThreadedMarshaler(controllingUnknown(), &marshaler_);
        --refs_;
    }

    HRESULT delegatedQueryInterface(REFIID riid, void** object) {
        return controllingUnknown()->QueryInterface(riid, object);
    }
    ULONG delegatedAddRef() { return controllingUnknown()->AddRef(); }
    ULONG delegatedRelease() { return controllingUnknown()->Release(); }

  public:
    ULONG internalAddRef() { return ++refs_; }
    ULONG internalRelease() {
        ULONG n = --refs_;
        if (n == 0) {
            delete this;
        }
        return n;
    }
    HRESULT internalQueryInterface(REFIID riid, void** object) {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown) {
            *object = &inner_;
            internalAddRef();
            return S_OK;
        }
        if (riid == IID_IMarshal && marshaler_ != nullptr) {
            return marshaler_->QueryInterface(riid, object);
        }
        void* p = interfaceFor(riid);
        if (p == nullptr) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = p;
        delegatedAddRef();
        return S_OK;
    }

  private:
    class Inner final : public IUnknown {
      public:
        explicit Inner(ObjectRoot* owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
            return owner_->internalQueryInterface(riid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner_->internalAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner_->internalRelease(); }

      private:
        ObjectRoot* owner_;
    };

    Inner inner_;
    IUnknown* outer_;  // not counted: the outer object owns us
    IUnknown* marshaler_ = nullptr;
    std::atomic<ULONG> refs_{1};
};

// Creates an object for a client (possibly aggregated) and hands out the interface asked for.
template <typename T>
HRESULT createObject(IUnknown* outer, REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    // An aggregated object is reached by its outer object through its inner IUnknown only.
    if (outer != nullptr && riid != IID_IUnknown) {
        return CLASS_E_NOAGGREGATION;
    }
    T* instance = nullptr;
    try {
        instance = new T(outer);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = instance->internalQueryInterface(riid, object);
    instance->internalRelease();
    return hr;
}

// Creates an object for the library's own use, with one reference held by the caller.
template <typename T>
HRESULT createInternal(T** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    try {
        *object = new T(nullptr);
    } catch (...) {
        *object = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// Type information of one of the library's types, for GetTypeInfo and GetClassInfo.
HRESULT libraryTypeInfo(int typeIndex, ITypeInfo** info);

}  // namespace pavlox

// IUnknown of a class's interfaces: every call goes to the controlling unknown.
#define PAVLOX_IUNKNOWN                                                             \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override { \
        return delegatedQueryInterface(riid, object);                               \
    }                                                                               \
    ULONG STDMETHODCALLTYPE AddRef() override {                                     \
        return delegatedAddRef();                                                   \
    }                                                                               \
    ULONG STDMETHODCALLTYPE Release() override {                                    \
        return delegatedRelease();                                                  \
    }

// IDispatch of a dual interface, served from the interface's table.
#define PAVLOX_IDISPATCH(Interface, typeIndex)                                                   \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {                           \
        if (count == nullptr)                                                                    \
            return E_INVALIDARG;                                                                 \
        *count = 1;                                                                              \
        return S_OK;                                                                             \
    }                                                                                            \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {         \
        if (info == nullptr)                                                                     \
            return E_INVALIDARG;                                                                 \
        *info = nullptr;                                                                         \
        if (index != 0)                                                                          \
            return DISP_E_BADINDEX;                                                              \
        return libraryTypeInfo(typeIndex, info);                                                 \
    }                                                                                            \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,      \
                                            DISPID* ids) override {                              \
        if (riid != IID_NULL)                                                                    \
            return DISP_E_UNKNOWNINTERFACE;                                                      \
        return vantor::ole::TableGetIDsOfNames(typeTable(typeIndex), names, count, ids);         \
    }                                                                                            \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags,          \
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,  \
                                     UINT* argErr) override {                                    \
        if (riid != IID_NULL)                                                                    \
            return DISP_E_UNKNOWNINTERFACE;                                                      \
        return vantor::ole::TableInvoke(typeTable(typeIndex), static_cast<Interface*>(this),     \
                                        dispid, lcid, flags, params, result, excepInfo, argErr); \
    }

// IProvideClassInfo: the coclass's type information.
#define PAVLOX_PROVIDECLASSINFO(coclassIndex)                           \
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override { \
        if (info == nullptr)                                            \
            return E_POINTER;                                           \
        *info = nullptr;                                                \
        return libraryTypeInfo(coclassIndex, info);                     \
    }

// ISupportErrorInfo: the class's own interface supports error info (none is ever set).
#define PAVLOX_SUPPORTERRORINFO(iid)                                             \
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override { \
        return riid == iid ? S_OK : S_FALSE;                                     \
    }
