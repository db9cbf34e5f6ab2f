// The compiled core of the late-bound Python client (_vantorcom): what its files share. The
// COM and Automation calls come from the vantorauto.so that vantorcom.py has loaded with ctypes
// (bound once through its dlopen handle), so the process keeps one COM runtime for both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Python.h first, as the CPython documentation demands.

#include <cstdint>
#include <string>

#include "win/minwinbase.h"
#include "win/oaidl.h"
#include "win/objbase.h"

// CPython's type and module tables are meant to be written with only the slots a type fills;
// the rest stay zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vantorcom {

// ---- The Automation calls of vantorauto.so ---------------------------------------------------

struct Api {
    HRESULT (*CoInitialize)();
    HRESULT (*CLSIDFromString)(LPCOLESTR, CLSID*);
    HRESULT (*CoCreateInstance)(const CLSID*, IUnknown*, DWORD, const IID*, void**);
    BSTR (*SysAllocStringLen)(const OLECHAR*, UINT);
    void (*SysFreeString)(BSTR);
    UINT (*SysStringLen)(BSTR);
    void (*VariantInit)(VARIANT*);
    HRESULT (*VariantClear)(VARIANT*);
    INT (*SystemTimeToVariantTime)(SYSTEMTIME*, DOUBLE*);
    INT (*VariantTimeToSystemTime)(DOUBLE, SYSTEMTIME*);
    SAFEARRAY* (*SafeArrayCreate)(VARTYPE, UINT, SAFEARRAYBOUND*);
    HRESULT (*SafeArrayDestroy)(SAFEARRAY*);
    UINT (*SafeArrayGetDim)(SAFEARRAY*);
    HRESULT (*SafeArrayGetVartype)(SAFEARRAY*, VARTYPE*);
};
extern Api api;
extern bool bound;

// Objects handed over by vantorcom.py when it binds the core.
extern PyObject* comErrorType;   // vantorcom.ComError
extern PyObject* emptyMarker;    // vantorcom.Empty
extern PyObject* missingMarker;  // vantorcom.Missing
extern PyObject* constantsDict;  // the values behind vantorcom.constants

constexpr IID kIidNull{};
constexpr HRESULT kDispException = static_cast<HRESULT>(0x80020009);
constexpr HRESULT kParamNotFound = static_cast<HRESULT>(0x80020004);
constexpr WORD kGetOrCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
// Enough for the arguments of any member we publish; longer calls use the heap.
constexpr Py_ssize_t kInlineArgs = 8;

// ---- Small owners ----------------------------------------------------------------------------

// A VARIANT cleared when it leaves scope.
struct ScopedVariant {
    VARIANT v;
    ScopedVariant() { api.VariantInit(&v); }
    ~ScopedVariant() { api.VariantClear(&v); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
};

// An interface reference released when it leaves scope.
template <typename T>
struct ComRef {
    T* p = nullptr;
    ComRef() = default;
    ~ComRef() {
        if (p != nullptr) {
            p->Release();
        }
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* release() {
        T* out = p;
        p = nullptr;
        return out;
    }
};

// The interpreter lock let go for the life of the scope, around calls into the server that
// may wait on the module or on another thread's lock.
struct AllowThreads {
    PyThreadState* state = PyEval_SaveThread();
    AllowThreads() = default;
    ~AllowThreads() { PyEval_RestoreThread(state); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;
};

// A Python reference dropped when it leaves scope.
struct PyRef {
    PyObject* p;
    explicit PyRef(PyObject* o = nullptr) : p(o) {}
    ~PyRef() { Py_XDECREF(p); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyObject* release() {
        PyObject* out = p;
        p = nullptr;
        return out;
    }
};

// ---- Errors, text and dates (core_values.cpp) ------------------------------------------------

// Raises vantorcom.ComError(hresult, where); always returns nullptr for the caller to pass on.
PyObject* raiseComError(HRESULT hr, PyObject* where);
PyObject* raiseComError(HRESULT hr, const char* where);
// The code to report for a call that succeeded without handing out what it should have.
HRESULT failure(HRESULT hr);
bool requireBound();
// UTF-16 text to str. Lone surrogates pass through as they do in the server's strings.
PyObject* textToPython(const OLECHAR* text, size_t chars);
PyObject* bstrToPython(BSTR text);
// str to UTF-16 units; code points above the BMP become surrogate pairs.
void textFromPython(PyObject* text, std::u16string& out);
BSTR bstrFromPython(PyObject* text);
// The datetime C interface, imported once by the module's initialization.
bool importDates();
bool isDate(PyObject* value);
PyObject* dateToPython(DOUBLE value);
bool dateFromPython(PyObject* value, DOUBLE* out);

// ---- VARIANT and Python values (core_variant.cpp) --------------------------------------------

PyObject* fromVariant(const VARIANT* v);
bool toVariant(PyObject* value, VARIANT* out);

// ---- Type information: members and constants (core_typeinfo.cpp) ----------------------------

// What the type information says about one member name.
struct MemberObject {
    PyObject ob_base;
    DISPID dispid;
    int kinds;   // INVOKE_* bits of every FUNCDESC under the name
    int params;  // most parameters of a get or call form
};
extern PyTypeObject MemberType;
// The member table of the object's dispatch interface (borrowed, shared, kept for the life of
// the process), its type library's constants loaded on first sight; nullptr without type info.
PyObject* describe(IDispatch* object);
// Each table also learns the spellings scripts use; a bound keeps odd spellings from
// growing it without end.
constexpr Py_ssize_t kMaxAliases = 1024;

// ---- Objects (core_dispatch.cpp, vantorcom_core.cpp) -----------------------------------------

struct DispatchObject {
    PyObject ob_base;
    IDispatch* object;
    PyObject* members;  // borrowed: the shared member table, or nullptr without type info
    PyObject* dispids;  // name -> DISPID learned through GetIDsOfNames, made on first use
    PyObject* weakrefs;
};

struct UnknownObject {
    PyObject ob_base;
    IUnknown* object;
    PyObject* weakrefs;
};

struct EnumeratorObject {
    PyObject ob_base;
    IEnumVARIANT* object;
};

struct BoundMemberObject {
    PyObject ob_base;
    PyObject* owner;  // the Dispatch the member belongs to
    PyObject* name;
    DISPID dispid;
    vectorcallfunc vectorcall;
};

extern PyTypeObject DispatchType;
extern PyTypeObject BoundMemberType;
extern PyTypeObject UnknownType;
extern PyTypeObject EnumeratorType;

PyObject* wrapObject(IUnknown* object);
IUnknown* objectOf(PyObject* dispatch);
IUnknown* unknownOf(PyObject* unknown);
void ensureInitialized();

}  // namespace vantorcom
