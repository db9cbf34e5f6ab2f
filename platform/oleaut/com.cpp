// COM runtime: GUID text, task memory, per-thread initialisation, activation through the
// registry (its reads cached in classes_cache.cpp), ProgIDs and the free-threaded marshaler.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "classes_cache.h"
#include "oleaut/ustring.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"
#include "win/oleauto.h"

namespace {

using vantor::ole::readClassesString;

thread_local int t_initCount = 0;

// ProgID -> CurVer chains longer than this are taken as a loop in the registry.
constexpr int kMaxCurVerHops = 8;

int hexValue(OLECHAR c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parseGuid(LPCOLESTR text, GUID& g) {
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", nothing before or after.
    static const char pattern[] = "{........-....-....-....-............}";
    BYTE bytes[16];
    int nibble = 0;
    for (size_t i = 0; i < sizeof(pattern) - 1; ++i) {
        if (text[i] == 0) {
            return false;
        }
        if (pattern[i] != '.') {
            if (text[i] != static_cast<OLECHAR>(pattern[i])) {
                return false;
            }
            continue;
        }
        int v = hexValue(text[i]);
        if (v < 0) {
            return false;
        }
        if (nibble % 2 == 0) {
            bytes[nibble / 2] = static_cast<BYTE>(v << 4);
        } else {
            bytes[nibble / 2] |= static_cast<BYTE>(v);
        }
        ++nibble;
    }
    if (text[sizeof(pattern) - 1] != 0) {
        return false;
    }
    g.Data1 = (DWORD{bytes[0]} << 24) | (DWORD{bytes[1]} << 16) | (DWORD{bytes[2]} << 8) | bytes[3];
    g.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    g.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    std::memcpy(g.Data4, bytes + 8, 8);
    return true;
}

std::string guidText(REFGUID g) {
    // By hand rather than by snprintf: every activation formats its CLSID for the registry path.
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "{00000000-0000-0000-0000-000000000000}";
    auto put = [&](size_t at, std::uint64_t value, int nibbles) {
        for (int i = nibbles - 1; i >= 0; --i, value >>= 4) {
            out[at + static_cast<size_t>(i)] = digits[value & 0xF];
        }
    };
    put(1, g.Data1, 8);
    put(10, g.Data2, 4);
    put(15, g.Data3, 4);
    for (size_t i = 0; i < 8; ++i) {
        put(i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2), g.Data4[i], 2);
    }
    return out;
}

// In-process servers loaded by activation, kept until CoFreeUnusedLibraries finds them idle.
struct Server {
    HMODULE module = nullptr;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

std::mutex g_serversMutex;
std::map<std::string, Server>& servers() {
    static auto* map = new std::map<std::string, Server>();  // outlives static destructors
    return *map;
}

HRESULT loadServer(const std::string& path, Server& server) {
    std::lock_guard lock(g_serversMutex);
    auto it = servers().find(path);
    if (it != servers().end()) {
        server = it->second;
        return S_OK;
    }
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        // Not found, or a file that is no loadable image (ERROR_BAD_EXE_FORMAT).
        const DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND);
    }
    Server s;
    s.module = module;
    s.getClassObject = ProcAs<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
    s.canUnloadNow = ProcAs<LPFNCANUNLOADNOW>(GetProcAddress(module, "DllCanUnloadNow"));
    if (s.getClassObject == nullptr) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    servers()[path] = s;
    server = s;
    return S_OK;
}

// The free-threaded marshaler: aggregated into an object, it answers IMarshal through the
// outer object's identity. There is nothing to marshal inside one process, so its marshaling
// methods report E_NOTIMPL.
class FreeThreadedMarshaler final : public IUnknown {
  public:
    explicit FreeThreadedMarshaler(IUnknown* outer) : marshal_(outer ? outer : this) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown) {
            *object = static_cast<IUnknown*>(this);
        } else if (riid == IID_IMarshal) {
            *object = static_cast<IMarshal*>(&marshal_);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        static_cast<IUnknown*>(*object)->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) {
            delete this;
        }
        return n;
    }

  private:
    class Marshal final : public IMarshal {
      public:
        explicit Marshal(IUnknown* outer) : outer_(outer) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
            return outer_->QueryInterface(riid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return outer_->AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return outer_->Release(); }
        HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD,
                                                    CLSID*) override {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD,
                                                    DWORD*) override {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*,
                                                   DWORD) override {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void**) override {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }

      private:
        IUnknown* outer_;  // not counted: the outer object owns us
    };

    Marshal marshal_;
    std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT CoInitialize(LPVOID reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(LPVOID, DWORD) {
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (t_initCount > 0) {
        --t_initCount;
    }
}

LPVOID CoTaskMemAlloc(SIZE_T size) {
    return std::malloc(size > 0 ? size : 1);
}

LPVOID CoTaskMemRealloc(LPVOID block, SIZE_T size) {
    return std::realloc(block, size > 0 ? size : 1);
}

void CoTaskMemFree(LPVOID block) {
    std::free(block);
}

INT StringFromGUID2(REFGUID guid, LPOLESTR buffer, INT chars) {
    std::string text = guidText(guid);
    if (buffer == nullptr || chars < static_cast<INT>(text.size() + 1)) {
        return 0;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        buffer[i] = static_cast<OLECHAR>(text[i]);
    }
    buffer[text.size()] = 0;
    return static_cast<INT>(text.size() + 1);
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
    if (text == nullptr) {
        return E_INVALIDARG;
    }
    *text = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (*text == nullptr) {
        return E_OUTOFMEMORY;
    }
    StringFromGUID2(clsid, *text, 39);
    return S_OK;
}

HRESULT StringFromIID(REFIID iid, LPOLESTR* text) {
    return StringFromCLSID(iid, text);
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    if (clsid == nullptr) {
        return E_INVALIDARG;
    }
    if (text == nullptr || *text == 0) {
        *clsid = CLSID_NULL;
        return S_OK;
    }
    if (text[0] == '{') {
        return parseGuid(text, *clsid) ? S_OK : CO_E_CLASSSTRING;
    }
    // Not a GUID: Windows then reads the text as a ProgID.
    return CLSIDFromProgID(text, clsid) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR text, LPIID iid) {
    if (iid == nullptr) {
        return E_INVALIDARG;
    }
    if (text == nullptr) {
        *iid = IID_NULL;
        return S_OK;
    }
    return parseGuid(text, *iid) ? S_OK : E_INVALIDARG;
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    if (progId == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    std::string name = vantor::ole::toUtf8(progId, std::char_traits<char16_t>::length(progId));
    for (int hop = 0; hop <= kMaxCurVerHops; ++hop) {
        if (name.empty() || name.find('\\') != std::string::npos) {
            return CO_E_CLASSSTRING;
        }
        std::string text;
        if (readClassesString(name + "\\CLSID", nullptr, text)) {
            std::u16string wide = vantor::ole::toUtf16(text);
            return parseGuid(wide.c_str(), *clsid) ? S_OK : CO_E_CLASSSTRING;
        }
        // A version-independent ProgID without its own CLSID names its current version.
        if (!readClassesString(name + "\\CurVer", nullptr, text)) {
            return CO_E_CLASSSTRING;
        }
        name = text;
    }
    return CO_E_CLASSSTRING;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId) {
    if (progId == nullptr) {
        return E_INVALIDARG;
    }
    *progId = nullptr;
    std::string text;
    if (!readClassesString("CLSID\\" + guidText(clsid) + "\\ProgID", nullptr, text)) {
        return REGDB_E_CLASSNOTREG;
    }
    std::u16string wide = vantor::ole::toUtf16(text);
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
    if (out == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(OLECHAR));
    *progId = out;
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID, REFIID riid, LPVOID* object) {
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    *object = nullptr;
    // Only in-process servers exist here.
    if ((context & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    std::string path;
    if (!readClassesString("CLSID\\" + guidText(clsid) + "\\InprocServer32", nullptr, path) ||
        path.empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    Server server;
    HRESULT hr = loadServer(path, server);
    if (FAILED(hr)) {
        return hr;
    }
    return server.getClassObject(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         LPVOID* object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr && riid != IID_IUnknown) {
        return CLASS_E_NOAGGREGATION;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(outer, riid, object);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() {
    std::lock_guard lock(g_serversMutex);
    for (auto it = servers().begin(); it != servers().end();) {
        if (it->second.canUnloadNow != nullptr && it->second.canUnloadNow() == S_OK) {
            FreeLibrary(it->second.module);
            it = servers().erase(it);
        } else {
            ++it;
        }
    }
}

HRESULT CoCreateFreeThreadedMarshaler(IUnknown* outer, IUnknown** marshaler) {
    if (marshaler == nullptr) {
        return E_INVALIDARG;
    }
    *marshaler = new (std::nothrow) FreeThreadedMarshaler(outer);
    return *marshaler ? S_OK : E_OUTOFMEMORY;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** info) {
    if (info != nullptr) {
        *info = nullptr;
    }
    return S_FALSE;
}
