// Type information compiled into a server as tables: members, DISPIDs, invoke kinds, parameter
// types, enumerations and coclasses. ITypeLib/ITypeInfo, GetIDsOfNames and Invoke are served
// from them generically.
#pragma once

#include <cstddef>
#include <utility>

#include "win/oaidl.h"
#include "win/oleauto.h"

namespace vantor::ole {

// Calls one member on an interface pointer with arguments already converted to the declared
// types (args[i] is parameter i, in declaration order) and writes its result into result.
using MemberInvoker = HRESULT (*)(void* self, VARIANTARG* args, VARIANT* result);

struct ParamInfo {
    const OLECHAR* name;
    VARTYPE vt;    // VT_VARIANT parameters receive the caller's value unchanged
    USHORT flags;  // PARAMFLAG_FIN, PARAMFLAG_FOPT, ...
};

struct MemberInfo {
    DISPID dispid;
    INVOKEKIND kind;
    const OLECHAR* name;
    const ParamInfo* params;  // without the [out,retval] parameter
    SHORT paramCount;
    VARTYPE retType;   // VT_EMPTY: the member returns only its HRESULT
    SHORT vtableSlot;  // slot number in the interface's vtable (IUnknown's QueryInterface is 0)
    MemberInvoker invoke;
};

struct ConstInfo {
    const OLECHAR* name;
    LONG value;
};

struct TypeTable {
    TYPEKIND kind;  // TKIND_DISPATCH (a dual interface), TKIND_ENUM or TKIND_COCLASS
    GUID guid;
    const OLECHAR* name;
    const OLECHAR* doc;
    WORD typeFlags;
    const MemberInfo* members;
    size_t memberCount;
    const ConstInfo* constants;
    size_t constantCount;
    const int* implemented;  // coclass: indices of its interfaces in the library, default first
    size_t implementedCount;
};

struct TypeLibTable {
    GUID libid;
    const OLECHAR* name;
    const OLECHAR* doc;
    WORD major;
    WORD minor;
    LCID lcid;
    const TypeTable* types;
    size_t typeCount;
    // Called when the first client reference to the library or one of its type infos is taken
    // and when the last one goes, so that a server stays loaded while clients hold them.
    void (*lockServer)(bool lock);
};

// The library object of a table, one for the life of the process.
HRESULT GetTableTypeLib(const TypeLibTable& lib, ITypeLib** result);
HRESULT GetTableTypeInfo(const TypeLibTable& lib, REFGUID guid, ITypeInfo** result);

// IDispatch services from one interface's table; self is the interface pointer the invokers
// expect. A member that fails gives DISP_E_EXCEPTION with its HRESULT in excepInfo->scode, as
// Automation reports failures.
HRESULT TableGetIDsOfNames(const TypeTable& type, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT TableInvoke(const TypeTable& type, void* self, DISPID dispid, LCID lcid, WORD flags,
                    DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);

// ---- Generating invokers from member function pointers ----------------------------------

namespace detail {

// An [in] argument of C++ type T taken from a VARIANTARG of the declared type.
template <typename T>
struct ArgIn;
template <>
struct ArgIn<LONG> {
    static LONG get(VARIANTARG& v) { return v.lVal; }
};
template <>
struct ArgIn<ULONG> {
    static ULONG get(VARIANTARG& v) { return v.ulVal; }
};
template <>
struct ArgIn<SHORT> {  // also VARIANT_BOOL
    static SHORT get(VARIANTARG& v) { return v.iVal; }
};
template <>
struct ArgIn<BYTE> {
    static BYTE get(VARIANTARG& v) { return v.bVal; }
};
template <>
struct ArgIn<DOUBLE> {  // also DATE
    static DOUBLE get(VARIANTARG& v) { return v.dblVal; }
};
template <>
struct ArgIn<BSTR> {
    static BSTR get(VARIANTARG& v) { return v.bstrVal; }
};
template <>
struct ArgIn<IUnknown*> {
    static IUnknown* get(VARIANTARG& v) { return v.punkVal; }
};
template <>
struct ArgIn<IDispatch*> {
    static IDispatch* get(VARIANTARG& v) { return v.pdispVal; }
};
template <>
struct ArgIn<VARIANT> {
    static VARIANT get(VARIANTARG& v) { return v; }
};
template <>
struct ArgIn<VARIANT*> {
    static VARIANT* get(VARIANTARG& v) { return v.vt == (VT_BYREF | VT_VARIANT) ? v.pvarVal : &v; }
};
template <>
struct ArgIn<LONG*> {
    static LONG* get(VARIANTARG& v) { return v.plVal; }
};
template <>
struct ArgIn<BSTR*> {
    static BSTR* get(VARIANTARG& v) { return v.pbstrVal; }
};

// The [out,retval] pointer of C++ type T aimed at the matching field of the result.
template <typename T>
struct RetOut;
template <>
struct RetOut<LONG*> {
    static LONG* get(VARIANT& r) { return &r.lVal; }
};
template <>
struct RetOut<ULONG*> {
    static ULONG* get(VARIANT& r) { return &r.ulVal; }
};
template <>
struct RetOut<SHORT*> {
    static SHORT* get(VARIANT& r) { return &r.iVal; }
};
template <>
struct RetOut<BYTE*> {
    static BYTE* get(VARIANT& r) { return &r.bVal; }
};
template <>
struct RetOut<DOUBLE*> {
    static DOUBLE* get(VARIANT& r) { return &r.dblVal; }
};
template <>
struct RetOut<BSTR*> {
    static BSTR* get(VARIANT& r) { return &r.bstrVal; }
};
template <>
struct RetOut<IUnknown**> {
    static IUnknown** get(VARIANT& r) { return &r.punkVal; }
};
template <>
struct RetOut<IDispatch**> {
    static IDispatch** get(VARIANT& r) { return &r.pdispVal; }
};
template <>
struct RetOut<VARIANT*> {
    static VARIANT* get(VARIANT& r) { return &r; }
};

template <typename T, size_t I, size_t N, bool HasRet>
T pick(VARIANTARG* args, VARIANT* result) {
    if constexpr (HasRet && I == N - 1) {
        return RetOut<T>::get(*result);
    } else {
        return ArgIn<T>::get(args[I]);
    }
}

template <auto Method, bool HasRet>
struct Invoker;

template <typename I, typename... A, HRESULT (STDMETHODCALLTYPE I::*Method)(A...), bool HasRet>
struct Invoker<Method, HasRet> {
    static HRESULT call(void* self, VARIANTARG* args, VARIANT* result) {
        return callWith(static_cast<I*>(self), args, result, std::index_sequence_for<A...>{});
    }
    template <size_t... Is>
    static HRESULT callWith(I* object, [[maybe_unused]] VARIANTARG* args,
                            [[maybe_unused]] VARIANT* result, std::index_sequence<Is...>) {
        return (object->*Method)(pick<A, Is, sizeof...(A), HasRet>(args, result)...);
    }
};

}  // namespace detail

// The invoker of an interface member; HasRet says its last parameter is [out,retval].
template <auto Method, bool HasRet>
constexpr MemberInvoker invokerOf() {
    return &detail::Invoker<Method, HasRet>::call;
}

}  // namespace vantor::ole
