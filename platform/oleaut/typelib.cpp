// Table-driven ITypeLib / ITypeInfo, the generic GetIDsOfNames and Invoke, and the registration
// of a type library under HKEY_CLASSES_ROOT.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "oleaut/typetable.h"
#include "oleaut/ustring.h"
#include "win/objbase.h"
#include "win/winreg.h"

namespace vantor::ole {

namespace {

// Member ids of enumeration constants, as type library compilers number them.
constexpr MEMBERID kConstBase = 0x40000000;
// More parameters than any automation member of the suite has; Invoke refuses beyond it.
constexpr SHORT kMaxParams = 16;

class TableTypeLib;

class TableTypeInfo final : public ITypeInfo {
  public:
    TableTypeInfo(TableTypeLib* lib, const TypeTable& type, UINT index);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attr) override;
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
        if (comp)
            *comp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** desc) override;
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT index, VARDESC** desc) override;
    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* names, UINT maxNames,
                                       UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override;
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* flags) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
        return TableGetIDsOfNames(type_, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID memid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
        if (instance == nullptr) {
            return E_INVALIDARG;
        }
        return TableInvoke(type_, instance, memid, LOCALE_USER_DEFAULT, flags, params, result,
                           excepInfo, argErr);
    }
    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc,
                                               DWORD* helpContext, BSTR* helpFile) override;
    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override {
        return TYPE_E_BADMODULEKIND;
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* address) override {
        if (address)
            *address = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, PVOID* object) override;
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* mops) override {
        if (mops == nullptr)
            return E_INVALIDARG;
        *mops = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** lib, UINT* index) override;
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR*) override {}
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC*) override {}
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

    const TypeTable& table() const { return type_; }

  private:
    TableTypeLib* lib_;
    const TypeTable& type_;
    UINT index_;
    // Descriptions are built once and handed out by pointer; the Release* calls free nothing.
    TYPEATTR attr_{};
    std::vector<FUNCDESC> funcs_;
    std::vector<std::vector<ELEMDESC>> params_;
    std::vector<VARDESC> vars_;
    std::vector<VARIANT> values_;
};

class TableTypeLib final : public ITypeLib {
  public:
    explicit TableTypeLib(const TypeLibTable& table) : table_(table) {
        infos_.reserve(table.typeCount);
        for (size_t i = 0; i < table.typeCount; ++i) {
            infos_.push_back(
                std::make_unique<TableTypeInfo>(this, table.types[i], static_cast<UINT>(i)));
        }
        attr_.guid = table.libid;
        attr_.lcid = table.lcid;
        attr_.syskind = SYS_WIN64;
        attr_.wMajorVerNum = table.major;
        attr_.wMinorVerNum = table.minor;
        attr_.wLibFlags = LIBFLAG_FHASDISKIMAGE;
    }

    // One count for the library and all its type infos: they live and die together.
    ULONG addRef() {
        ULONG n = ++refs_;
        if (n == 1 && table_.lockServer != nullptr) {
            table_.lockServer(true);
        }
        return n;
    }
    ULONG release() {
        ULONG n = --refs_;
        if (n == 0 && table_.lockServer != nullptr) {
            table_.lockServer(false);
        }
        return n;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_ITypeLib) {
            *object = static_cast<ITypeLib*>(this);
            addRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    UINT STDMETHODCALLTYPE GetTypeInfoCount() override {
        return static_cast<UINT>(table_.typeCount);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** info) override {
        if (info == nullptr) {
            return E_INVALIDARG;
        }
        *info = nullptr;
        if (index >= infos_.size()) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        *info = infos_[index].get();
        addRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* kind) override {
        if (kind == nullptr) {
            return E_INVALIDARG;
        }
        if (index >= table_.typeCount) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        *kind = table_.types[index].kind;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
        if (info == nullptr) {
            return E_INVALIDARG;
        }
        *info = nullptr;
        for (size_t i = 0; i < table_.typeCount; ++i) {
            if (table_.types[i].kind != TKIND_ENUM && table_.types[i].guid == guid) {
                return GetTypeInfo(static_cast<UINT>(i), info);
            }
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attr) override {
        if (attr == nullptr) {
            return E_INVALIDARG;
        }
        *attr = &attr_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
        if (comp)
            *comp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* helpContext,
                                               BSTR* helpFile) override {
        const OLECHAR* n = nullptr;
        const OLECHAR* d = nullptr;
        if (index == -1) {
            n = table_.name;
            d = table_.doc;
        } else if (index >= 0 && static_cast<size_t>(index) < table_.typeCount) {
            n = table_.types[index].name;
            d = table_.types[index].doc;
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        return fillDoc(n, d, name, doc, helpContext, helpFile);
    }
    HRESULT STDMETHODCALLTYPE IsName(LPOLESTR name, ULONG, BOOL* found) override {
        if (name == nullptr || found == nullptr) {
            return E_INVALIDARG;
        }
        ITypeInfo* info = nullptr;
        MEMBERID id = 0;
        USHORT count = 1;
        HRESULT hr = FindName(name, 0, &info, &id, &count);
        if (FAILED(hr)) {
            return hr;
        }
        *found = count > 0;
        if (info != nullptr) {
            info->Release();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids,
                                       USHORT* found) override {
        if (name == nullptr || infos == nullptr || ids == nullptr || found == nullptr) {
            return E_INVALIDARG;
        }
        USHORT max = *found;
        USHORT n = 0;
        for (size_t i = 0; i < table_.typeCount && n < max; ++i) {
            const TypeTable& t = table_.types[i];
            MEMBERID id = MEMBERID_NIL;
            bool match = namesEqual(t.name, name);
            for (size_t m = 0; !match && m < t.memberCount; ++m) {
                if (namesEqual(t.members[m].name, name)) {
                    match = true;
                    id = t.members[m].dispid;
                }
            }
            for (size_t c = 0; !match && c < t.constantCount; ++c) {
                if (namesEqual(t.constants[c].name, name)) {
                    match = true;
                    id = kConstBase + static_cast<MEMBERID>(c);
                }
            }
            if (match) {
                GetTypeInfo(static_cast<UINT>(i), &infos[n]);
                ids[n] = id;
                ++n;
            }
        }
        *found = n;
        return S_OK;
    }
    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR*) override {}

    static HRESULT fillDoc(const OLECHAR* n, const OLECHAR* d, BSTR* name, BSTR* doc,
                           DWORD* helpContext, BSTR* helpFile) {
        if (name != nullptr) {
            *name = n ? SysAllocString(n) : nullptr;
            if (n && *name == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        if (doc != nullptr) {
            *doc = d ? SysAllocString(d) : nullptr;
            if (d && *doc == nullptr) {
                if (name) {
                    SysFreeString(*name);
                    *name = nullptr;
                }
                return E_OUTOFMEMORY;
            }
        }
        if (helpContext != nullptr) {
            *helpContext = 0;
        }
        if (helpFile != nullptr) {
            *helpFile = nullptr;
        }
        return S_OK;
    }

    const TypeLibTable& table() const { return table_; }

  private:
    const TypeLibTable& table_;
    std::vector<std::unique_ptr<TableTypeInfo>> infos_;
    TLIBATTR attr_{};
    std::atomic<ULONG> refs_{0};
};

TableTypeInfo::TableTypeInfo(TableTypeLib* lib, const TypeTable& type, UINT index)
    : lib_(lib), type_(type), index_(index) {
    attr_.guid = type.guid;
    attr_.lcid = lib->table().lcid;
    attr_.memidConstructor = MEMBERID_NIL;
    attr_.memidDestructor = MEMBERID_NIL;
    attr_.typekind = type.kind;
    attr_.wTypeFlags = type.typeFlags;
    attr_.wMajorVerNum = lib->table().major;
    attr_.wMinorVerNum = lib->table().minor;
    attr_.cbAlignment = 8;
    attr_.cbSizeInstance = type.kind == TKIND_ENUM ? 4 : sizeof(void*);
    attr_.cFuncs = static_cast<WORD>(type.memberCount);
    attr_.cVars = static_cast<WORD>(type.constantCount);
    attr_.cImplTypes = static_cast<WORD>(type.implementedCount);
    SHORT slots = 7;  // IUnknown and IDispatch
    params_.resize(type.memberCount);
    for (size_t i = 0; i < type.memberCount; ++i) {
        const MemberInfo& m = type.members[i];
        if (m.vtableSlot + 1 > slots) {
            slots = static_cast<SHORT>(m.vtableSlot + 1);
        }
        for (SHORT p = 0; p < m.paramCount; ++p) {
            ELEMDESC e{};
            e.tdesc.vt = m.params[p].vt;
            e.paramdesc.wParamFlags = m.params[p].flags;
            params_[i].push_back(e);
        }
        FUNCDESC f{};
        f.memid = m.dispid;
        f.lprgelemdescParam = params_[i].empty() ? nullptr : params_[i].data();
        f.funckind = FUNC_DISPATCH;
        f.invkind = m.kind;
        f.callconv = CC_STDCALL;
        f.cParams = m.paramCount;
        f.oVft = static_cast<SHORT>(m.vtableSlot * sizeof(void*));
        f.elemdescFunc.tdesc.vt = m.retType == VT_EMPTY ? static_cast<VARTYPE>(VT_VOID) : m.retType;
        f.wFuncFlags = m.dispid == DISPID_NEWENUM ? FUNCFLAG_FRESTRICTED : 0;
        funcs_.push_back(f);
    }
    if (type.kind == TKIND_DISPATCH) {
        attr_.cbSizeVft = static_cast<WORD>(slots * sizeof(void*));
    }
    values_.resize(type.constantCount);
    for (size_t c = 0; c < type.constantCount; ++c) {
        VariantInit(&values_[c]);
        values_[c].vt = VT_I4;
        values_[c].lVal = type.constants[c].value;
    }
    for (size_t c = 0; c < type.constantCount; ++c) {
        VARDESC v{};
        v.memid = kConstBase + static_cast<MEMBERID>(c);
        v.lpvarValue = &values_[c];
        v.elemdescVar.tdesc.vt = VT_I4;
        v.varkind = VAR_CONST;
        vars_.push_back(v);
    }
}

HRESULT TableTypeInfo::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
        *object = static_cast<ITypeInfo*>(this);
        lib_->addRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG TableTypeInfo::AddRef() {
    return lib_->addRef();
}

ULONG TableTypeInfo::Release() {
    return lib_->release();
}

HRESULT TableTypeInfo::GetTypeAttr(TYPEATTR** attr) {
    if (attr == nullptr) {
        return E_INVALIDARG;
    }
    *attr = &attr_;
    return S_OK;
}

HRESULT TableTypeInfo::GetFuncDesc(UINT index, FUNCDESC** desc) {
    if (desc == nullptr) {
        return E_INVALIDARG;
    }
    if (index >= funcs_.size()) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    *desc = &funcs_[index];
    return S_OK;
}

HRESULT TableTypeInfo::GetVarDesc(UINT index, VARDESC** desc) {
    if (desc == nullptr) {
        return E_INVALIDARG;
    }
    if (index >= vars_.size()) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    *desc = &vars_[index];
    return S_OK;
}

HRESULT TableTypeInfo::GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) {
    if (names == nullptr || count == nullptr) {
        return E_INVALIDARG;
    }
    *count = 0;
    if (memid >= kConstBase && static_cast<size_t>(memid - kConstBase) < type_.constantCount) {
        if (maxNames > 0) {
            names[0] = SysAllocString(type_.constants[memid - kConstBase].name);
            *count = 1;
        }
        return S_OK;
    }
    for (size_t i = 0; i < type_.memberCount; ++i) {
        const MemberInfo& m = type_.members[i];
        if (m.dispid != memid) {
            continue;
        }
        UINT n = 0;
        if (n < maxNames) {
            names[n++] = SysAllocString(m.name);
        }
        for (SHORT p = 0; p < m.paramCount && n < maxNames; ++p) {
            names[n++] = SysAllocString(m.params[p].name);
        }
        *count = n;
        return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TableTypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* ref) {
    if (ref == nullptr) {
        return E_INVALIDARG;
    }
    if (index >= type_.implementedCount) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    *ref = static_cast<HREFTYPE>(type_.implemented[index]);
    return S_OK;
}

HRESULT TableTypeInfo::GetImplTypeFlags(UINT index, INT* flags) {
    if (flags == nullptr) {
        return E_INVALIDARG;
    }
    if (index >= type_.implementedCount) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    *flags = index == 0 ? IMPLTYPEFLAG_FDEFAULT : 0;
    return S_OK;
}

HRESULT TableTypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext,
                                        BSTR* helpFile) {
    if (memid == MEMBERID_NIL) {
        return TableTypeLib::fillDoc(type_.name, type_.doc, name, doc, helpContext, helpFile);
    }
    if (memid >= kConstBase && static_cast<size_t>(memid - kConstBase) < type_.constantCount) {
        return TableTypeLib::fillDoc(type_.constants[memid - kConstBase].name, nullptr, name, doc,
                                     helpContext, helpFile);
    }
    for (size_t i = 0; i < type_.memberCount; ++i) {
        if (type_.members[i].dispid == memid) {
            return TableTypeLib::fillDoc(type_.members[i].name, nullptr, name, doc, helpContext,
                                         helpFile);
        }
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TableTypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) {
    if (info == nullptr) {
        return E_INVALIDARG;
    }
    *info = nullptr;
    for (size_t i = 0; i < type_.implementedCount; ++i) {
        if (static_cast<HREFTYPE>(type_.implemented[i]) == ref) {
            return lib_->GetTypeInfo(ref, info);
        }
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TableTypeInfo::CreateInstance(IUnknown* outer, REFIID riid, PVOID* object) {
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    *object = nullptr;
    if (type_.kind != TKIND_COCLASS) {
        return TYPE_E_WRONGTYPEKIND;
    }
    return CoCreateInstance(type_.guid, outer, CLSCTX_INPROC_SERVER, riid, object);
}

HRESULT TableTypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
    if (lib == nullptr) {
        return E_INVALIDARG;
    }
    *lib = lib_;
    lib_->addRef();
    if (index != nullptr) {
        *index = index_;
    }
    return S_OK;
}

std::mutex g_libsMutex;
std::map<const TypeLibTable*, std::unique_ptr<TableTypeLib>>& libs() {
    // One library object per table, destroyed with the module that owns the tables (a server
    // is unloaded only when no client holds any of its type information).
    static std::map<const TypeLibTable*, std::unique_ptr<TableTypeLib>> map;
    return map;
}

bool kindMatches(INVOKEKIND kind, WORD flags) {
    if (flags & DISPATCH_PROPERTYPUT) {
        return kind == INVOKE_PROPERTYPUT;
    }
    if (flags & DISPATCH_PROPERTYPUTREF) {
        return kind == INVOKE_PROPERTYPUTREF || kind == INVOKE_PROPERTYPUT;
    }
    return ((flags & DISPATCH_METHOD) && kind == INVOKE_FUNC) ||
           ((flags & DISPATCH_PROPERTYGET) && kind == INVOKE_PROPERTYGET);
}

// Clears the converted copies of the arguments on every path.
struct ConvertedArgs {
    VARIANTARG args[kMaxParams];
    bool owned[kMaxParams] = {};
    SHORT count = 0;
    ~ConvertedArgs() {
        for (SHORT i = 0; i < count; ++i) {
            if (owned[i]) {
                VariantClear(&args[i]);
            }
        }
    }
};

}  // namespace

HRESULT GetTableTypeLib(const TypeLibTable& table, ITypeLib** result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = nullptr;
    TableTypeLib* lib = nullptr;
    try {
        std::lock_guard lock(g_libsMutex);
        auto& slot = libs()[&table];
        if (slot == nullptr) {
            slot = std::make_unique<TableTypeLib>(table);
        }
        lib = slot.get();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    lib->AddRef();
    *result = lib;
    return S_OK;
}

HRESULT GetTableTypeInfo(const TypeLibTable& table, REFGUID guid, ITypeInfo** result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = nullptr;
    ITypeLib* lib = nullptr;
    HRESULT hr = GetTableTypeLib(table, &lib);
    if (FAILED(hr)) {
        return hr;
    }
    hr = lib->GetTypeInfoOfGuid(guid, result);
    lib->Release();
    return hr;
}

HRESULT TableGetIDsOfNames(const TypeTable& type, LPOLESTR* names, UINT count, DISPID* ids) {
    if (names == nullptr || ids == nullptr || count == 0) {
        return E_INVALIDARG;
    }
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
    }
    const MemberInfo* member = nullptr;
    for (size_t m = 0; m < type.memberCount; ++m) {
        if (namesEqual(type.members[m].name, names[0])) {
            member = &type.members[m];
            // Prefer a member that also declares the named parameters (a property put may
            // have more of them than its get).
            if (member->paramCount >= static_cast<SHORT>(count - 1)) {
                break;
            }
        }
    }
    if (member == nullptr) {
        return DISP_E_UNKNOWNNAME;
    }
    ids[0] = member->dispid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
        for (SHORT p = 0; p < member->paramCount; ++p) {
            if (namesEqual(member->params[p].name, names[i])) {
                ids[i] = p;
            }
        }
        if (ids[i] == DISPID_UNKNOWN) {
            hr = DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

HRESULT TableInvoke(const TypeTable& type, void* self, DISPID dispid, LCID lcid, WORD flags,
                    DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
    static DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (params == nullptr) {
        params = &none;
    }
    if (params->cArgs > 0 && params->rgvarg == nullptr) {
        return E_INVALIDARG;
    }
    // An unknown DISPID and a known one asked for the wrong kind (a put of a read-only
    // property) both report DISP_E_MEMBERNOTFOUND, as Automation does.
    const MemberInfo* member = nullptr;
    for (size_t m = 0; m < type.memberCount && member == nullptr; ++m) {
        if (type.members[m].dispid == dispid && kindMatches(type.members[m].kind, flags)) {
            member = &type.members[m];
        }
    }
    if (member == nullptr) {
        return DISP_E_MEMBERNOTFOUND;
    }
    // Named arguments: only the value of a property put may be named (DISPID_PROPERTYPUT).
    if (params->cNamedArgs > 0) {
        bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
        if (!put || params->cNamedArgs != 1 || params->rgdispidNamedArgs == nullptr ||
            params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
            return DISP_E_NONAMEDARGS;
        }
    }
    UINT supplied = params->cArgs;
    SHORT declared = member->paramCount;
    if (declared > kMaxParams || supplied > static_cast<UINT>(declared)) {
        return DISP_E_BADPARAMCOUNT;
    }
    ConvertedArgs conv;
    for (SHORT i = 0; i < declared; ++i) {
        const ParamInfo& p = member->params[i];
        VARIANTARG& arg = conv.args[i];
        VariantInit(&arg);
        conv.count = static_cast<SHORT>(i + 1);
        if (static_cast<UINT>(i) >= supplied) {
            // An omitted optional VARIANT arrives as VT_ERROR / DISP_E_PARAMNOTFOUND.
            if ((p.flags & PARAMFLAG_FOPT) && p.vt == VT_VARIANT) {
                arg.vt = VT_ERROR;
                arg.scode = DISP_E_PARAMNOTFOUND;
                continue;
            }
            return DISP_E_BADPARAMCOUNT;
        }
        UINT position = supplied - 1 - static_cast<UINT>(i);  // rgvarg is in reverse order
        const VARIANTARG& src = params->rgvarg[position];
        if (p.vt == VT_VARIANT) {
            arg = src;
            continue;
        }
        if (src.vt == p.vt) {
            arg = src;
            continue;
        }
        if (src.vt == VT_ERROR && src.scode == DISP_E_PARAMNOTFOUND) {
            if (argErr != nullptr) {
                *argErr = position;
            }
            return DISP_E_PARAMNOTOPTIONAL;
        }
        if (p.vt & VT_BYREF) {
            // An out parameter takes only a reference of its own type (or a VARIANT holding one).
            if (src.vt == (VT_BYREF | VT_VARIANT) && src.pvarVal != nullptr &&
                (src.pvarVal->vt | VT_BYREF) == p.vt) {
                arg.vt = p.vt;
                arg.byref = &src.pvarVal->llVal;
                continue;
            }
            if (argErr != nullptr) {
                *argErr = position;
            }
            return DISP_E_TYPEMISMATCH;
        }
        HRESULT hr = VariantChangeTypeEx(&arg, &src, lcid, 0, p.vt);
        if (FAILED(hr)) {
            if (argErr != nullptr) {
                *argErr = position;
            }
            return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
        }
        conv.owned[i] = true;
    }
    VARIANT ret;
    VariantInit(&ret);
    HRESULT hr = member->invoke(self, conv.args, &ret);
    if (FAILED(hr)) {
        VariantClear(&ret);
        if (excepInfo != nullptr) {
            std::memset(excepInfo, 0, sizeof(EXCEPINFO));
            excepInfo->scode = hr;
        }
        return DISP_E_EXCEPTION;
    }
    if (member->retType != VT_EMPTY && member->retType != VT_VARIANT) {
        ret.vt = member->retType;
    }
    if (result != nullptr) {
        *result = ret;
    } else {
        VariantClear(&ret);
    }
    return S_OK;
}

}  // namespace vantor::ole

namespace {

std::string guidString(REFGUID g) {
    OLECHAR buf[40];
    StringFromGUID2(g, buf, 40);
    return vantor::ole::toUtf8(buf, 38);
}

LONG setString(HKEY root, const std::string& path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    LONG rc =
        RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return rc;
}

bool readString(HKEY root, const std::string& path, const char* name, std::string& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    char buf[512];
    DWORD size = sizeof(buf);
    DWORD type = 0;
    bool ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) ==
                  ERROR_SUCCESS &&
              type == REG_SZ && size > 0;
    RegCloseKey(key);
    if (ok) {
        out.assign(buf, size - 1);
    }
    return ok;
}

// Deletes path and then each parent up to (not including) stop while it is left empty.
void deleteUpwards(const std::string& stop, std::string path) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
    while (path.size() > stop.size()) {
        auto pos = path.rfind('\\');
        if (pos == std::string::npos || pos < stop.size()) {
            break;
        }
        path.resize(pos);
        if (path.size() <= stop.size()) {
            break;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            continue;
        }
        DWORD subKeys = 0;
        DWORD values = 0;
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        if (subKeys != 0 || values != 0) {
            break;
        }
        RegDeleteKeyA(HKEY_CLASSES_ROOT, path.c_str());
    }
}

}  // namespace

HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR fullPath, LPCOLESTR helpDir) {
    if (lib == nullptr || fullPath == nullptr) {
        return E_INVALIDARG;
    }
    TLIBATTR* attr = nullptr;
    if (FAILED(lib->GetLibAttr(&attr))) {
        return TYPE_E_REGISTRYACCESS;
    }
    TLIBATTR a = *attr;
    lib->ReleaseTLibAttr(attr);
    char version[32];
    std::snprintf(version, sizeof(version), "%x.%x", a.wMajorVerNum, a.wMinorVerNum);
    char lcid[16];
    std::snprintf(lcid, sizeof(lcid), "%x", a.lcid);
    std::string libid = guidString(a.guid);
    std::string base = "TypeLib\\" + libid + "\\" + version;
    vantor::ole::Bstr doc;
    lib->GetDocumentation(-1, nullptr, doc.out(), nullptr, nullptr);
    std::string path = vantor::ole::toUtf8(fullPath, std::char_traits<char16_t>::length(fullPath));
    std::string help =
        helpDir ? vantor::ole::toUtf8(helpDir, std::char_traits<char16_t>::length(helpDir))
                : path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    const char* platform = a.syskind == SYS_WIN64 ? "win64" : "win32";
    if (setString(HKEY_CLASSES_ROOT, base, nullptr, vantor::ole::toUtf8(doc.get())) !=
            ERROR_SUCCESS ||
        setString(HKEY_CLASSES_ROOT, base + "\\" + lcid + "\\" + platform, nullptr, path) !=
            ERROR_SUCCESS ||
        setString(HKEY_CLASSES_ROOT, base + "\\FLAGS", nullptr,
                  std::to_string(a.wLibFlags & 0x7)) != ERROR_SUCCESS ||
        setString(HKEY_CLASSES_ROOT, base + "\\HELPDIR", nullptr, help) != ERROR_SUCCESS) {
        return TYPE_E_REGISTRYACCESS;
    }
    // Dispatch and dual interfaces are marshaled by the Automation marshaler.
    std::string proxy = guidString(CLSID_PSOAInterface);
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        TYPEKIND kind = TKIND_MAX;
        if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_DISPATCH) {
            continue;
        }
        ITypeInfo* info = nullptr;
        if (FAILED(lib->GetTypeInfo(i, &info))) {
            return TYPE_E_REGISTRYACCESS;
        }
        TYPEATTR* ta = nullptr;
        info->GetTypeAttr(&ta);
        std::string iid = guidString(ta->guid);
        info->ReleaseTypeAttr(ta);
        info->Release();
        vantor::ole::Bstr name;
        lib->GetDocumentation(static_cast<INT>(i), name.out(), nullptr, nullptr, nullptr);
        std::string key = "Interface\\" + iid;
        if (setString(HKEY_CLASSES_ROOT, key, nullptr, vantor::ole::toUtf8(name.get())) !=
                ERROR_SUCCESS ||
            setString(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid", nullptr, proxy) !=
                ERROR_SUCCESS ||
            setString(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid32", nullptr, proxy) !=
                ERROR_SUCCESS ||
            setString(HKEY_CLASSES_ROOT, key + "\\TypeLib", nullptr, libid) != ERROR_SUCCESS ||
            setString(HKEY_CLASSES_ROOT, key + "\\TypeLib", "Version", version) != ERROR_SUCCESS) {
            return TYPE_E_REGISTRYACCESS;
        }
    }
    return S_OK;
}

HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind) {
    char version[32];
    std::snprintf(version, sizeof(version), "%x.%x", major, minor);
    char lcidText[16];
    std::snprintf(lcidText, sizeof(lcidText), "%x", lcid);
    std::string id = guidString(libid);
    std::string base = "TypeLib\\" + id + "\\" + version;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (base + "\\" + lcidText).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return TYPE_E_REGISTRYACCESS;
    }
    RegCloseKey(key);
    // The interfaces that name this library and version go with it.
    std::vector<std::string> interfaces;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "Interface", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD chars = sizeof(name);
            if (RegEnumKeyExA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            std::string lib;
            std::string ver;
            std::string sub = std::string("Interface\\") + name + "\\TypeLib";
            if (readString(HKEY_CLASSES_ROOT, sub, nullptr, lib) && lib == id &&
                readString(HKEY_CLASSES_ROOT, sub, "Version", ver) && ver == version) {
                interfaces.push_back(std::string("Interface\\") + name);
            }
        }
        RegCloseKey(key);
    }
    for (const std::string& k : interfaces) {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, k.c_str());
    }
    const char* platform = syskind == SYS_WIN64 ? "win64" : "win32";
    deleteUpwards("TypeLib", base + "\\" + lcidText + "\\" + platform);
    // The version key holds FLAGS and HELPDIR too; it goes when no other locale is left.
    bool otherLocale = false;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, base.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD chars = sizeof(name);
            if (RegEnumKeyExA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            std::string n = name;
            if (n != "FLAGS" && n != "HELPDIR") {
                otherLocale = true;
            }
        }
        RegCloseKey(key);
    }
    if (!otherLocale) {
        deleteUpwards("TypeLib", base);
    }
    return S_OK;
}
