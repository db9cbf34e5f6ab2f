// Table-driven dispatch and type information: names and DISPIDs, optional and by-reference
// arguments, property put, failures, enumerations, and type library registration.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "oleaut/typetable.h"
#include "oleaut/ustring.h"
#include "win/objbase.h"
#include "win/winreg.h"

namespace {

using vantor::ole::invokerOf;
using vantor::ole::MemberInfo;
using vantor::ole::ParamInfo;

struct ISample : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Join(BSTR first, VARIANT second, BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Value(LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Value(LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Twice(LONG* inOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Flag(VARIANT_BOOL* result) = 0;
};

constexpr IID IID_ISample = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kLibId = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x66}};

const ParamInfo kIndex[] = {{u"Index", VT_I4, PARAMFLAG_FIN}};
const ParamInfo kJoin[] = {{u"First", VT_BSTR, PARAMFLAG_FIN},
                           {u"Second", VT_VARIANT, PARAMFLAG_FIN | PARAMFLAG_FOPT}};
const ParamInfo kValue[] = {{u"Value", VT_I4, PARAMFLAG_FIN}};
const ParamInfo kInOut[] = {{u"InOut", VT_BYREF | VT_I4, PARAMFLAG_FIN | PARAMFLAG_FOUT}};

const MemberInfo kMembers[] = {
    {DISPID_VALUE, INVOKE_PROPERTYGET, u"Item", kIndex, 1, VT_VARIANT, 7,
     invokerOf<&ISample::get_Item, true>()},
    {1, INVOKE_PROPERTYGET, u"Count", nullptr, 0, VT_I4, 8, invokerOf<&ISample::get_Count, true>()},
    {2, INVOKE_FUNC, u"Join", kJoin, 2, VT_BSTR, 9, invokerOf<&ISample::Join, true>()},
    {3, INVOKE_PROPERTYGET, u"Value", nullptr, 0, VT_I4, 10,
     invokerOf<&ISample::get_Value, true>()},
    {3, INVOKE_PROPERTYPUT, u"Value", kValue, 1, VT_EMPTY, 11,
     invokerOf<&ISample::put_Value, false>()},
    {4, INVOKE_FUNC, u"Twice", kInOut, 1, VT_EMPTY, 12, invokerOf<&ISample::Twice, false>()},
    {5, INVOKE_PROPERTYGET, u"Flag", nullptr, 0, VT_BOOL, 13,
     invokerOf<&ISample::get_Flag, true>()},
};

const vantor::ole::ConstInfo kColours[] = {{u"eRed", 1}, {u"eBlue", 0x80000000 - 1}};
const int kImplemented[] = {0};

std::atomic<int> g_serverLocks{0};

const vantor::ole::TypeTable kTypes[] = {
    {TKIND_DISPATCH, IID_ISample, u"ISample", u"ISample Interface",
     TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, kMembers, std::size(kMembers), nullptr, 0, nullptr,
     0},
    {TKIND_ENUM, GUID_NULL, u"COLOURS", u"Colours enum", 0, nullptr, 0, kColours, 2, nullptr, 0},
    {TKIND_COCLASS,
     {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x77}},
     u"Sample",
     u"Sample Class",
     TYPEFLAG_FCANCREATE,
     nullptr,
     0,
     nullptr,
     0,
     kImplemented,
     1},
};

const vantor::ole::TypeLibTable kLib = {kLibId,
                                        u"SampleLib",
                                        u"Sample 1.0 Type Library",
                                        1,
                                        0,
                                        0x409,
                                        kTypes,
                                        std::size(kTypes),
                                        [](bool lock) { g_serverLocks += lock ? 1 : -1; }};

class Sample final : public ISample {
  public:
    LONG value = 7;
    std::atomic<ULONG> refs{1};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ISample) {
            *out = static_cast<ISample*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        return vantor::ole::GetTableTypeInfo(kLib, IID_ISample, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID,
                                            DISPID* ids) override {
        return vantor::ole::TableGetIDsOfNames(kTypes[0], names, n, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* p,
                                     VARIANT* r, EXCEPINFO* e, UINT* a) override {
        return vantor::ole::TableInvoke(kTypes[0], static_cast<ISample*>(this), id, lcid, flags, p,
                                        r, e, a);
    }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, VARIANT* result) override {
        if (index < 1)
            return E_INVALIDARG;
        result->vt = VT_I4;
        result->lVal = index * 10;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* result) override {
        *result = 3;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Join(BSTR first, VARIANT second, BSTR* result) override {
        std::u16string s(first, SysStringLen(first));
        if (second.vt == VT_ERROR && second.scode == DISP_E_PARAMNOTFOUND) {
            s += u"|missing";
        } else if (second.vt == VT_BSTR) {
            s += u"|" + std::u16string(second.bstrVal, SysStringLen(second.bstrVal));
        } else {
            s += u"|other";
        }
        *result = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Value(LONG* result) override {
        *result = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Value(LONG v) override {
        value = v;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Twice(LONG* inOut) override {
        *inOut *= 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Flag(VARIANT_BOOL* result) override {
        *result = VARIANT_TRUE;
        return S_OK;
    }
};

VARIANT longArg(LONG v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = v;
    return x;
}

DISPID idOf(IDispatch* d, const char16_t* name) {
    LPOLESTR n = const_cast<LPOLESTR>(name);
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &n, 1, 0, &id), S_OK);
    return id;
}

TEST(TableDispatch, ByNameAndByDispidReachTheSameMember) {
    Sample s;
    DISPID count = idOf(&s, u"count");
    EXPECT_EQ(count, 1);
    VARIANT r;
    VariantInit(&r);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(s.Invoke(count, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &r,
                       nullptr, nullptr),
              S_OK);
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.lVal, 3);
    LONG direct = 0;
    s.get_Count(&direct);
    EXPECT_EQ(direct, r.lVal);

    // The default member (DISPID 0) with an argument that needs converting from text.
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = SysAllocString(u"4");
    DISPPARAMS one{&arg, nullptr, 1, 0};
    ASSERT_EQ(s.Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &r, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(r.lVal, 40);
    EXPECT_EQ(arg.vt, VT_BSTR) << "the caller's argument is not changed";
    VariantClear(&arg);

    ASSERT_EQ(s.Invoke(5, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr), S_OK);
    EXPECT_EQ(r.vt, VT_BOOL);
    EXPECT_EQ(r.boolVal, VARIANT_TRUE);

    LPOLESTR names[2] = {const_cast<LPOLESTR>(u"JOIN"), const_cast<LPOLESTR>(u"second")};
    DISPID ids[2];
    ASSERT_EQ(s.GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], 1);
    LPOLESTR unknown = const_cast<LPOLESTR>(u"Nope");
    EXPECT_EQ(s.GetIDsOfNames(IID_NULL, &unknown, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
}

TEST(TableDispatch, OptionalByRefPutAndErrors) {
    Sample s;
    VARIANT r;
    VariantInit(&r);
    VARIANT first;
    VariantInit(&first);
    first.vt = VT_I4;  // converted to the declared BSTR
    first.lVal = 12;
    DISPPARAMS onlyFirst{&first, nullptr, 1, 0};
    ASSERT_EQ(s.Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &onlyFirst, &r, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(r.bstrVal), u"12|missing");
    VariantClear(&r);

    // Arguments arrive last first.
    VARIANT both[2];
    VariantInit(&both[0]);
    VariantInit(&both[1]);
    both[0].vt = VT_BSTR;
    both[0].bstrVal = SysAllocString(u"b");
    both[1].vt = VT_BSTR;
    both[1].bstrVal = SysAllocString(u"a");
    DISPPARAMS two{both, nullptr, 2, 0};
    ASSERT_EQ(s.Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &two, &r, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(r.bstrVal), u"a|b");
    VariantClear(&r);
    VariantClear(&both[0]);
    VariantClear(&both[1]);

    LONG n = 21;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &n;
    DISPPARAMS byRef{&ref, nullptr, 1, 0};
    ASSERT_EQ(s.Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &byRef, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(n, 42) << "the member writes through the caller's reference";
    VARIANT byValue = longArg(1);
    DISPPARAMS notRef{&byValue, nullptr, 1, 0};
    UINT argErr = 99;
    EXPECT_EQ(s.Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &notRef, nullptr, nullptr, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);

    VARIANT v = longArg(99);
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS putParams{&v, &put, 1, 1};
    ASSERT_EQ(s.Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYPUT, &putParams, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(s.value, 99);
    DISPPARAMS named{&v, &put, 1, 1};
    EXPECT_EQ(s.Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &named, &r, nullptr, nullptr),
              DISP_E_NONAMEDARGS);

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(s.Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, &r, nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(s.Invoke(77, IID_NULL, 0, DISPATCH_METHOD, &none, &r, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(s.Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &putParams, &r, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND)
        << "Count has no put";
    VARIANT three[3] = {longArg(1), longArg(2), longArg(3)};
    DISPPARAMS tooMany{three, nullptr, 3, 0};
    EXPECT_EQ(s.Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &tooMany, &r, nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = VT_BSTR;
    bad.bstrVal = SysAllocString(u"x");
    DISPPARAMS badIndex{&bad, nullptr, 1, 0};
    EXPECT_EQ(s.Invoke(0, IID_NULL, 0, DISPATCH_PROPERTYGET, &badIndex, &r, nullptr, &argErr),
              DISP_E_TYPEMISMATCH);
    VariantClear(&bad);

    // A member's own failure comes back as an exception carrying its HRESULT.
    VARIANT zero = longArg(0);
    DISPPARAMS failing{&zero, nullptr, 1, 0};
    EXCEPINFO info{};
    EXPECT_EQ(s.Invoke(0, IID_NULL, 0, DISPATCH_PROPERTYGET, &failing, &r, &info, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, E_INVALIDARG);
    EXPECT_EQ(r.vt, VT_EMPTY);
}

TEST(TableTypeInfo, DescribesMembersEnumsAndKeepsTheServerLocked) {
    Sample s;
    EXPECT_EQ(g_serverLocks, 0);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(s.GetTypeInfo(0, 0, &info), S_OK);
    EXPECT_EQ(g_serverLocks, 1) << "a client holding type info keeps the server loaded";
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->cFuncs, std::size(kMembers));
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attr);
    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(2, &f), S_OK);
    EXPECT_EQ(f->memid, 2);
    EXPECT_EQ(f->cParams, 2);
    EXPECT_EQ(f->lprgelemdescParam[1].paramdesc.wParamFlags & PARAMFLAG_FOPT, PARAMFLAG_FOPT);
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_BSTR);
    info->ReleaseFuncDesc(f);
    BSTR names[3] = {};
    UINT got = 0;
    ASSERT_EQ(info->GetNames(2, names, 3, &got), S_OK);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::u16string(names[0]), u"Join");
    EXPECT_EQ(std::u16string(names[2]), u"Second");
    for (UINT i = 0; i < got; ++i)
        SysFreeString(names[i]);

    // Invoke through the type info reaches the same member as IDispatch.
    VARIANT r;
    VariantInit(&r);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(info->Invoke(static_cast<ISample*>(&s), 3, DISPATCH_PROPERTYGET, &none, &r, nullptr,
                           nullptr),
              S_OK);
    EXPECT_EQ(r.lVal, 7);

    ITypeLib* lib = nullptr;
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(&lib, &index), S_OK);
    EXPECT_EQ(index, 0u);
    info->Release();
    ASSERT_EQ(lib->GetTypeInfoCount(), 3u);
    ITypeInfo* colours = nullptr;
    ASSERT_EQ(lib->GetTypeInfo(1, &colours), S_OK);
    VARDESC* var = nullptr;
    ASSERT_EQ(colours->GetVarDesc(1, &var), S_OK);
    EXPECT_EQ(var->varkind, VAR_CONST);
    EXPECT_EQ(var->lpvarValue->lVal, 0x7FFFFFFF);
    BSTR constName = nullptr;
    ASSERT_EQ(colours->GetDocumentation(var->memid, &constName, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(constName), u"eBlue");
    SysFreeString(constName);
    colours->Release();
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(lib->GetTypeInfo(2, &coclass), S_OK);
    HREFTYPE ref = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
    ITypeInfo* iface = nullptr;
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, &iface), S_OK);
    ASSERT_EQ(iface->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualIID(attr->guid, IID_ISample));
    iface->Release();
    coclass->Release();
    lib->Release();
    EXPECT_EQ(g_serverLocks, 0) << "every reference back to zero unlocks the server";
}

TEST(TypeLibRegistration, WritesAndRemovesItsKeys) {
    char templ[] = "/tmp/vantor-tlb-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    setenv(VANTOR_REGISTRY_DIR_ENV, templ, 1);
    ITypeLib* lib = nullptr;
    ASSERT_EQ(vantor::ole::GetTableTypeLib(kLib, &lib), S_OK);
    ASSERT_EQ(RegisterTypeLib(lib, u"/opt/sample.so", nullptr), S_OK);
    lib->Release();
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT,
                            "TypeLib\\{11111111-2222-3333-4444-555555555566}\\1.0\\409\\win64", 0,
                            KEY_READ, &k),
              ERROR_SUCCESS);
    char path[64];
    DWORD size = sizeof(path);
    ASSERT_EQ(RegQueryValueExA(k, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(path, "/opt/sample.so");
    RegCloseKey(k);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT,
                            "Interface\\{11111111-2222-3333-4444-555555555555}\\TypeLib", 0,
                            KEY_READ, &k),
              ERROR_SUCCESS);
    RegCloseKey(k);

    ASSERT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0x409, SYS_WIN64), S_OK);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "TypeLib\\{11111111-2222-3333-4444-555555555566}", 0,
                            KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Interface\\{11111111-2222-3333-4444-555555555555}",
                            0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "TypeLib", 0, KEY_READ, &k), ERROR_SUCCESS)
        << "the root stays";
    RegCloseKey(k);
    EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0x409, SYS_WIN64), TYPE_E_REGISTRYACCESS);
    unsetenv(VANTOR_REGISTRY_DIR_ENV);
    std::filesystem::remove_all(templ);
}

}  // namespace
