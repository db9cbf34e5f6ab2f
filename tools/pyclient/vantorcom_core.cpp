// _vantorcom: the compiled core of the late-bound Python client. It makes every per-call step
// natively (member lookup with cached DISPIDs, Invoke, VARIANT and SAFEARRAY conversion both
// ways, enumeration) so that a property read costs about as much as the server's own work.
//
// The COM and Automation calls come from the vantorauto.so that vantorcom.py has loaded with
// ctypes (bound once through its dlopen handle), so the process keeps one COM runtime for both.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Python.h first, as the CPython documentation demands.
#include <datetime.h>
#include <dlfcn.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "win/minwinbase.h"
#include "win/oaidl.h"
#include "win/objbase.h"

// CPython's type and module tables are meant to be written with only the slots a type fills;
// the rest stay zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

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
Api api{};
bool bound = false;

// Objects handed over by vantorcom.py when it binds the core.
PyObject* comErrorType = nullptr;   // vantorcom.ComError
PyObject* emptyMarker = nullptr;    // vantorcom.Empty
PyObject* missingMarker = nullptr;  // vantorcom.Missing
PyObject* constantsDict = nullptr;  // the values behind vantorcom.constants

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

// ---- Errors ----------------------------------------------------------------------------------

// Raises vantorcom.ComError(hresult, where); always returns nullptr for the caller to pass on.
PyObject* raiseComError(HRESULT hr, PyObject* where) {
    PyRef error(PyObject_CallFunction(comErrorType, "iO", static_cast<int>(hr), where));
    if (error.p != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.p)), error.p);
    }
    return nullptr;
}

PyObject* raiseComError(HRESULT hr, const char* where) {
    PyRef text(PyUnicode_FromString(where));
    return text.p != nullptr ? raiseComError(hr, text.p) : nullptr;
}

// The code to report for a call that succeeded without handing out what it should have.
HRESULT failure(HRESULT hr) {
    return FAILED(hr) ? hr : E_POINTER;
}

bool requireBound() {
    if (!bound) {
        PyErr_SetString(PyExc_RuntimeError, "_vantorcom is not bound to vantorauto.so");
    }
    return bound;
}

// ---- Text ------------------------------------------------------------------------------------

// UTF-16 text to str. Lone surrogates pass through as they do in the server's strings.
PyObject* textToPython(const OLECHAR* text, size_t chars) {
    if (text == nullptr || chars == 0) {
        return PyUnicode_New(0, 0);
    }
    Py_UCS4 widest = 0;
    for (size_t i = 0; i < chars; ++i) {
        widest = text[i] > widest ? text[i] : widest;
    }
    if (widest < 0xD800) {
        // No surrogates: one code point per unit, copied straight into the string.
        PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(chars), widest);
        if (out == nullptr) {
            return nullptr;
        }
        const int kind = PyUnicode_KIND(out);
        void* data = PyUnicode_DATA(out);
        for (size_t i = 0; i < chars; ++i) {
            PyUnicode_WRITE(kind, data, static_cast<Py_ssize_t>(i), text[i]);
        }
        return out;
    }
    int order = -1;  // little-endian, as OLECHAR is on this platform
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                                 static_cast<Py_ssize_t>(chars * sizeof(OLECHAR)), "surrogatepass",
                                 &order);
}

PyObject* bstrToPython(BSTR text) {
    return textToPython(text, text != nullptr ? api.SysStringLen(text) : 0);
}

// str to UTF-16 units; code points above the BMP become surrogate pairs.
void textFromPython(PyObject* text, std::u16string& out) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    out.clear();
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > 0xFFFF) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
}

BSTR bstrFromPython(PyObject* text) {
    std::u16string units;
    textFromPython(text, units);
    // A BSTR's length prefix counts bytes in 32 bits.
    if (units.size() > 0x7FFFFFFFu) {
        PyErr_SetString(PyExc_OverflowError, "text too long for a BSTR");
        return nullptr;
    }
    BSTR out = api.SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
    if (out == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "BSTR allocation failed");
    }
    return out;
}

// ---- Dates -----------------------------------------------------------------------------------

PyObject* dateToPython(DOUBLE value) {
    SYSTEMTIME st{};
    if (!api.VariantTimeToSystemTime(value, &st)) {
        PyRef number(PyFloat_FromDouble(value));
        return number.p != nullptr
                   ? PyErr_Format(PyExc_ValueError, "date out of range: %R", number.p)
                   : nullptr;
    }
    return PyDateTime_FromDateAndTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                                      st.wSecond, 0);
}

bool dateFromPython(PyObject* value, DOUBLE* out) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(PyDateTime_GET_YEAR(value));
    st.wMonth = static_cast<WORD>(PyDateTime_GET_MONTH(value));
    st.wDay = static_cast<WORD>(PyDateTime_GET_DAY(value));
    if (PyDateTime_Check(value)) {
        st.wHour = static_cast<WORD>(PyDateTime_DATE_GET_HOUR(value));
        st.wMinute = static_cast<WORD>(PyDateTime_DATE_GET_MINUTE(value));
        st.wSecond = static_cast<WORD>(PyDateTime_DATE_GET_SECOND(value));
    }
    if (!api.SystemTimeToVariantTime(&st, out)) {
        PyErr_Format(PyExc_ValueError, "date out of range: %R", value);
        return false;
    }
    return true;
}

// ---- Objects (declared here, defined below) --------------------------------------------------

PyObject* wrapObject(IUnknown* object);
IUnknown* objectOf(PyObject* dispatch);
IUnknown* unknownOf(PyObject* unknown);
extern PyTypeObject DispatchType;
extern PyTypeObject UnknownType;

// ---- VARIANT -> Python -----------------------------------------------------------------------

PyObject* fromVariant(const VARIANT* v);
PyObject* arrayToPython(SAFEARRAY* psa);

template <typename T>
T load(const void* p) {
    T out;
    std::memcpy(&out, p, sizeof out);
    return out;
}

// The value of type vt stored at p (a VARIANT's value field, a by-reference target or an array
// cell).
PyObject* readValue(VARTYPE vt, const void* p) {
    switch (vt) {
        case VT_I1:
            return PyLong_FromLong(load<signed char>(p));
        case VT_UI1:
            return PyLong_FromLong(load<unsigned char>(p));
        case VT_I2:
            return PyLong_FromLong(load<int16_t>(p));
        case VT_UI2:
            return PyLong_FromLong(load<uint16_t>(p));
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            return PyLong_FromLong(load<int32_t>(p));
        case VT_UI4:
        case VT_UINT:
            return PyLong_FromUnsignedLong(load<uint32_t>(p));
        case VT_I8:
            return PyLong_FromLongLong(load<int64_t>(p));
        case VT_UI8:
            return PyLong_FromUnsignedLongLong(load<uint64_t>(p));
        case VT_R4:
            return PyFloat_FromDouble(load<float>(p));
        case VT_R8:
            return PyFloat_FromDouble(load<double>(p));
        case VT_CY:
            return PyFloat_FromDouble(static_cast<double>(load<int64_t>(p)) / 10000.0);
        case VT_DATE:
            return dateToPython(load<double>(p));
        case VT_BOOL:
            return PyBool_FromLong(load<int16_t>(p) != 0);
        case VT_BSTR:
            return bstrToPython(load<BSTR>(p));
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return wrapObject(load<IUnknown*>(p));
        case VT_VARIANT:
            return fromVariant(static_cast<const VARIANT*>(p));
        default:
            return PyErr_Format(PyExc_TypeError, "VARIANT type 0x%04X has no Python form",
                                static_cast<unsigned>(vt));
    }
}

PyObject* fromVariant(const VARIANT* v) {
    // A by-reference VARIANT may point at another; a server could make that a loop.
    if (Py_EnterRecursiveCall(" while reading a VARIANT") != 0) {
        return nullptr;
    }
    PyObject* out;
    const VARTYPE vt = v->vt;
    if ((vt & VT_BYREF) != 0) {
        const VARTYPE base = vt & ~VT_BYREF;
        if (v->byref == nullptr) {
            out = Py_NewRef(Py_None);
        } else if ((base & VT_ARRAY) != 0) {
            out = arrayToPython(*static_cast<SAFEARRAY**>(v->byref));
        } else {
            out = readValue(base, v->byref);
        }
    } else if ((vt & VT_ARRAY) != 0) {
        out = arrayToPython(v->parray);
    } else if (vt == VT_EMPTY || vt == VT_NULL) {
        out = Py_NewRef(Py_None);
    } else {
        out = readValue(vt, &v->llVal);
    }
    Py_LeaveRecursiveCall();
    return out;
}

// The size of one cell of an array of vt, or 0 for a type without a Python form.
size_t cellSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            return 8;
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return sizeof(void*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

// Reads the cells of an array straight from its block. Counts are the descriptor's stored
// element counts and cells are found by offset, never by index: the bounds may sit anywhere in
// the LONG range (an empty dimension at the smallest lower bound reports the largest upper
// bound), so upper - lower + 1 or lower + i could wrap.
struct ArrayReader {
    SAFEARRAY* psa;
    VARTYPE vt;
    std::vector<size_t> counts;   // cells of dimension 1, 2, ...
    std::vector<size_t> strides;  // cells between neighbours in dimension 1, 2, ...

    // Nested tuples, dimension 1 outermost, each dimension in its own order from lower bound.
    PyObject* build(size_t dim, size_t base) {
        const size_t count = counts[dim];
        PyRef out(PyTuple_New(static_cast<Py_ssize_t>(count)));
        if (out.p == nullptr) {
            return nullptr;
        }
        for (size_t i = 0; i < count; ++i) {
            const size_t cell = base + i * strides[dim];
            PyObject* item =
                dim + 1 == counts.size()
                    ? readValue(vt, static_cast<const BYTE*>(psa->pvData) + cell * psa->cbElements)
                    : build(dim + 1, cell);
            if (item == nullptr) {
                return nullptr;
            }
            PyTuple_SET_ITEM(out.p, static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    }
};

PyObject* arrayToPython(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return Py_NewRef(Py_None);
    }
    ArrayReader reader{psa, VT_EMPTY, {}, {}};
    HRESULT hr = api.SafeArrayGetVartype(psa, &reader.vt);
    if (FAILED(hr)) {
        return raiseComError(hr, "SafeArrayGetVartype");
    }
    const UINT dims = api.SafeArrayGetDim(psa);
    if (dims == 0) {
        return PyTuple_New(0);
    }
    // A descriptor whose cell size is not its element type's is refused, not read past. (A type
    // without a Python form is refused by readValue at its first cell.)
    if (cellSize(reader.vt) != 0 && psa->cbElements != cellSize(reader.vt)) {
        return raiseComError(DISP_E_BADVARTYPE, "SAFEARRAY element size");
    }
    size_t cells = 1;
    for (UINT d = 0; d < dims; ++d) {
        // Dimension 1 is stored last and varies fastest.
        const size_t n = psa->rgsabound[dims - 1 - d].cElements;
        reader.counts.push_back(n);
        reader.strides.push_back(cells);
        if (n != 0 && cells > PY_SSIZE_T_MAX / n) {
            return raiseComError(E_OUTOFMEMORY, "SAFEARRAY size");
        }
        cells *= n;
    }
    if (cells > 0 && psa->pvData == nullptr) {
        return raiseComError(E_INVALIDARG, "SAFEARRAY data");
    }
    if (reader.vt == VT_UI1 && dims == 1) {
        // A byte array is one contiguous block from its first cell.
        return PyBytes_FromStringAndSize(cells > 0 ? static_cast<const char*>(psa->pvData) : "",
                                         static_cast<Py_ssize_t>(cells));
    }
    return reader.build(0, 0);
}

// ---- Python -> VARIANT -----------------------------------------------------------------------

bool toVariant(PyObject* value, VARIANT* out);

SAFEARRAY* newVector(VARTYPE vt, size_t count) {
    if (count > 0xFFFFFFFFu) {
        PyErr_SetString(PyExc_OverflowError, "too many elements for a SAFEARRAY");
        return nullptr;
    }
    SAFEARRAYBOUND bound{static_cast<ULONG>(count), 0};
    SAFEARRAY* psa = api.SafeArrayCreate(vt, 1, &bound);
    if (psa == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "SAFEARRAY allocation failed");
    }
    return psa;
}

SAFEARRAY* byteArrayFromPython(PyObject* value) {
    Py_buffer view;
    // Any layout is accepted; a non-contiguous view is gathered into one block first.
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        PyRef flat(PyBytes_FromObject(value));
        if (flat.p == nullptr || PyObject_GetBuffer(flat.p, &view, PyBUF_SIMPLE) != 0) {
            return nullptr;
        }
    }
    SAFEARRAY* psa = newVector(VT_UI1, static_cast<size_t>(view.len));
    if (psa != nullptr && view.len > 0) {
        std::memcpy(psa->pvData, view.buf, static_cast<size_t>(view.len));
    }
    PyBuffer_Release(&view);
    return psa;
}

SAFEARRAY* variantArrayFromPython(PyObject* sequence) {
    PyRef items(PySequence_Fast(sequence, "not a sequence"));
    if (items.p == nullptr) {
        return nullptr;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.p);
    SAFEARRAY* psa = newVector(VT_VARIANT, static_cast<size_t>(n));
    if (psa == nullptr) {
        return nullptr;
    }
    // The cells start out as VT_EMPTY; each takes ownership of its converted value, and
    // destroying the array on failure releases whatever was filled in already.
    auto* cells = static_cast<VARIANT*>(psa->pvData);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!toVariant(PySequence_Fast_GET_ITEM(items.p, i), &cells[i])) {
            api.SafeArrayDestroy(psa);
            return nullptr;
        }
    }
    return psa;
}

bool integerToVariant(PyObject* value, VARIANT* out) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow == 0) {
        if (n >= INT32_MIN && n <= INT32_MAX) {
            out->vt = VT_I4;
            out->lVal = static_cast<LONG>(n);
        } else if (n >= 0 && n <= static_cast<long long>(UINT32_MAX)) {
            out->vt = VT_UI4;
            out->ulVal = static_cast<ULONG>(n);
        } else {
            out->vt = VT_I8;
            out->llVal = n;
        }
        return true;
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(value);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out->vt = VT_UI8;
            out->ullVal = u;
            return true;
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_OverflowError, "integer does not fit 64 bits: %S", value);
    return false;
}

// Fills out (initialized by the caller) with its own copy of value. On failure out stays empty.
bool toVariant(PyObject* value, VARIANT* out) {
    out->vt = VT_EMPTY;
    if (value == emptyMarker) {
        return true;
    }
    if (value == Py_None) {
        out->vt = VT_NULL;
        return true;
    }
    if (value == missingMarker) {
        out->vt = VT_ERROR;
        out->scode = kParamNotFound;
        return true;
    }
    if (PyBool_Check(value)) {
        out->vt = VT_BOOL;
        out->boolVal = value == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    if (PyLong_Check(value)) {
        return integerToVariant(value, out);
    }
    if (PyFloat_Check(value)) {
        out->vt = VT_R8;
        out->dblVal = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyUnicode_Check(value)) {
        BSTR text = bstrFromPython(value);
        if (text == nullptr) {
            return false;
        }
        out->vt = VT_BSTR;
        out->bstrVal = text;
        return true;
    }
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        SAFEARRAY* psa = byteArrayFromPython(value);
        if (psa == nullptr) {
            return false;
        }
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = psa;
        return true;
    }
    if (PyDate_Check(value)) {  // datetime is a date too
        if (!dateFromPython(value, &out->date)) {
            return false;
        }
        out->vt = VT_DATE;
        return true;
    }
    if (PyObject_TypeCheck(value, &DispatchType) || PyObject_TypeCheck(value, &UnknownType)) {
        const bool isDispatch = PyObject_TypeCheck(value, &DispatchType);
        IUnknown* object = isDispatch ? objectOf(value) : unknownOf(value);
        if (object == nullptr) {
            PyErr_SetString(PyExc_ValueError, "object already released");
            return false;
        }
        object->AddRef();
        out->vt = isDispatch ? VT_DISPATCH : VT_UNKNOWN;
        out->punkVal = object;
        return true;
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        // A list that contains itself would recurse without end.
        if (Py_EnterRecursiveCall(" while converting a list to a VARIANT array") != 0) {
            return false;
        }
        SAFEARRAY* psa = variantArrayFromPython(value);
        Py_LeaveRecursiveCall();
        if (psa == nullptr) {
            return false;
        }
        out->vt = VT_ARRAY | VT_VARIANT;
        out->parray = psa;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "no VARIANT form for %R", value);
    return false;
}

// ---- Type information: members and constants -------------------------------------------------

// What the type information says about one member name.
struct MemberObject {
    PyObject ob_base;
    DISPID dispid;
    int kinds;   // INVOKE_* bits of every FUNCDESC under the name
    int params;  // most parameters of a get or call form
};

PyObject* memberKinds(PyObject* self, void*) {
    auto* m = reinterpret_cast<MemberObject*>(self);
    PyRef kinds(PyFrozenSet_New(nullptr));
    if (kinds.p == nullptr) {
        return nullptr;
    }
    for (int bit : {INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF}) {
        if ((m->kinds & bit) != 0) {
            PyRef number(PyLong_FromLong(bit));
            if (number.p == nullptr || PySet_Add(kinds.p, number.p) != 0) {
                return nullptr;
            }
        }
    }
    return kinds.release();
}

PyObject* memberDispid(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<MemberObject*>(self)->dispid);
}

PyObject* memberParams(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<MemberObject*>(self)->params);
}

PyGetSetDef memberGetSet[] = {
    {"dispid", memberDispid, nullptr, "the member's DISPID", nullptr},
    {"kinds", memberKinds, nullptr, "INVOKE_* kinds declared for the name", nullptr},
    {"params", memberParams, nullptr, "parameters of the get or call form", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// (PyVarObject_HEAD_INIT ends with its own comma, hence the look of the first line.)
PyTypeObject MemberType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "_vantorcom.Member",
    .tp_basicsize = sizeof(MemberObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "A member described by the object's type information.",
    .tp_getset = memberGetSet,
};

using GuidKey = std::array<unsigned char, sizeof(GUID)>;
GuidKey keyOf(const GUID& guid) {
    GuidKey key;
    std::memcpy(key.data(), &guid, sizeof guid);
    return key;
}

// Member tables by dispatch interface, shared by all objects of the interface and kept for
// the life of the process: name (as first met, and lower case) -> Member.
std::map<GuidKey, PyObject*> memberTables;
std::set<GuidKey> loadedLibraries;
// Each table also learns the spellings scripts use; a bound keeps odd spellings from
// growing it without end.
constexpr Py_ssize_t kMaxAliases = 1024;

PyObject* documentationName(ITypeInfo* info, MEMBERID memid) {
    BSTR name = nullptr;
    const HRESULT hr = info->GetDocumentation(memid, &name, nullptr, nullptr, nullptr);
    if (FAILED(hr)) {
        return raiseComError(hr, "ITypeInfo.GetDocumentation");
    }
    PyObject* out = bstrToPython(name);
    api.SysFreeString(name);
    return out;
}

// Every enumeration of the library into vantorcom.constants, once per library.
bool loadConstants(ITypeLib* lib) {
    TLIBATTR* attr = nullptr;
    HRESULT hr = lib->GetLibAttr(&attr);
    if (FAILED(hr) || attr == nullptr) {
        raiseComError(failure(hr), "ITypeLib.GetLibAttr");
        return false;
    }
    const GuidKey key = keyOf(attr->guid);
    lib->ReleaseTLibAttr(attr);
    if (!loadedLibraries.insert(key).second) {
        return true;
    }
    // A library that fails half way is read again when next met.
    struct Forget {
        GuidKey key;
        bool done = false;
        ~Forget() {
            if (!done) {
                loadedLibraries.erase(key);
            }
        }
    } forget{key};
    const UINT count = lib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind = TKIND_MAX;
        if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_ENUM) {
            continue;
        }
        ComRef<ITypeInfo> info;
        if (FAILED(hr = lib->GetTypeInfo(i, &info.p)) || info.p == nullptr) {
            raiseComError(failure(hr), "ITypeLib.GetTypeInfo");
            return false;
        }
        TYPEATTR* type = nullptr;
        if (FAILED(hr = info.p->GetTypeAttr(&type)) || type == nullptr) {
            raiseComError(failure(hr), "ITypeInfo.GetTypeAttr");
            return false;
        }
        const WORD vars = type->cVars;
        info.p->ReleaseTypeAttr(type);
        for (WORD v = 0; v < vars; ++v) {
            VARDESC* desc = nullptr;
            if (FAILED(hr = info.p->GetVarDesc(v, &desc)) || desc == nullptr) {
                raiseComError(failure(hr), "ITypeInfo.GetVarDesc");
                return false;
            }
            PyRef name(documentationName(info.p, desc->memid));
            PyRef value(name.p != nullptr && desc->lpvarValue != nullptr
                            ? fromVariant(desc->lpvarValue)
                            : nullptr);
            info.p->ReleaseVarDesc(desc);
            if (value.p == nullptr || PyDict_SetItem(constantsDict, name.p, value.p) != 0) {
                if (!PyErr_Occurred()) {
                    PyErr_SetString(PyExc_RuntimeError, "enumeration value without a value");
                }
                return false;
            }
        }
    }
    forget.done = true;
    return true;
}

PyObject* buildMemberTable(ITypeInfo* info, WORD funcs) {
    PyRef table(PyDict_New());
    if (table.p == nullptr) {
        return nullptr;
    }
    for (WORD i = 0; i < funcs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc)) || desc == nullptr) {
            continue;
        }
        const MEMBERID memid = desc->memid;
        const int invkind = desc->invkind;
        const int params = desc->cParams;
        info->ReleaseFuncDesc(desc);
        PyRef name(documentationName(info, memid));
        PyRef lower(name.p != nullptr ? PyObject_CallMethod(name.p, "lower", nullptr) : nullptr);
        if (lower.p == nullptr) {
            return nullptr;
        }
        auto* member = reinterpret_cast<MemberObject*>(PyDict_GetItemWithError(table.p, lower.p));
        if (member == nullptr) {
            if (PyErr_Occurred()) {
                return nullptr;
            }
            PyRef made(PyObject_New(PyObject, &MemberType));
            if (made.p == nullptr) {
                return nullptr;
            }
            member = reinterpret_cast<MemberObject*>(made.p);
            member->dispid = memid;
            member->kinds = 0;
            member->params = 0;
            if (PyDict_SetItem(table.p, lower.p, made.p) != 0) {
                return nullptr;
            }
        }
        member->kinds |= invkind;
        if (invkind != INVOKE_PROPERTYPUT && params > member->params) {
            member->params = params;
        }
    }
    return table.release();
}

// The member table of the object's dispatch interface (a borrowed reference), loading the
// constants of its library when the interface is first met; nullptr without an error set when
// the object describes no type.
PyObject* describe(IDispatch* object) {
    ComRef<ITypeInfo> info;
    if (FAILED(object->GetTypeInfo(0, 0, &info.p)) || info.p == nullptr) {
        return nullptr;
    }
    TYPEATTR* attr = nullptr;
    if (FAILED(info.p->GetTypeAttr(&attr)) || attr == nullptr) {
        return nullptr;
    }
    const GuidKey key = keyOf(attr->guid);
    const WORD funcs = attr->cFuncs;
    info.p->ReleaseTypeAttr(attr);
    auto found = memberTables.find(key);
    if (found != memberTables.end()) {
        return found->second;
    }
    PyObject* table = buildMemberTable(info.p, funcs);
    if (table == nullptr) {
        return nullptr;
    }
    // Building ran Python code, so another thread may have described the same interface
    // meanwhile; the first table stays.
    auto [slot, inserted] = memberTables.emplace(key, table);
    if (!inserted) {
        Py_DECREF(table);
        return slot->second;
    }
    ComRef<ITypeLib> lib;
    UINT index = 0;
    if (SUCCEEDED(info.p->GetContainingTypeLib(&lib.p, &index)) && lib.p != nullptr) {
        if (!loadConstants(lib.p)) {
            return nullptr;
        }
    }
    return table;
}

// ---- Dispatch objects ------------------------------------------------------------------------

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

IUnknown* objectOf(PyObject* dispatch) {
    return reinterpret_cast<DispatchObject*>(dispatch)->object;
}

IUnknown* unknownOf(PyObject* unknown) {
    return reinterpret_cast<UnknownObject*>(unknown)->object;
}

thread_local bool comInitialized = false;

void ensureInitialized() {
    if (!comInitialized) {
        api.CoInitialize();
        comInitialized = true;
    }
}

// A Dispatch owning the reference passed in (released here if the wrapper cannot be made).
PyObject* newDispatch(IDispatch* object) {
    auto* self = PyObject_New(DispatchObject, &DispatchType);
    if (self == nullptr) {
        object->Release();
        return nullptr;
    }
    self->object = object;
    self->dispids = nullptr;
    self->weakrefs = nullptr;
    self->members = describe(object);
    if (self->members == nullptr && PyErr_Occurred()) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

// A Python object for an interface pointer read from a VARIANT (a new reference is taken).
PyObject* wrapObject(IUnknown* object) {
    if (object == nullptr) {
        Py_RETURN_NONE;
    }
    IDispatch* dispatch = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) &&
        dispatch != nullptr) {
        return newDispatch(dispatch);
    }
    auto* self = PyObject_New(UnknownObject, &UnknownType);
    if (self == nullptr) {
        return nullptr;
    }
    object->AddRef();
    self->object = object;
    self->weakrefs = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

bool checkAlive(DispatchObject* self) {
    if (self->object == nullptr) {
        PyErr_SetString(PyExc_ValueError, "object already released");
        return false;
    }
    return true;
}

// One late-bound call: arguments converted into VARIANTs (in reverse order, as Invoke takes
// them), Invoke with the interpreter lock released, the result converted back.
PyObject* invoke(DispatchObject* self, DISPID dispid, WORD flags, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* where, bool put) {
    if (!checkAlive(self)) {
        return nullptr;
    }
    VARIANT inlineArgs[kInlineArgs];
    std::vector<VARIANT> heapArgs;
    VARIANT* argv = inlineArgs;
    if (nargs > kInlineArgs) {
        heapArgs.resize(static_cast<size_t>(nargs));
        argv = heapArgs.data();
    }
    Py_ssize_t made = 0;
    auto clearArgs = [&] {
        for (Py_ssize_t i = 0; i < made; ++i) {
            api.VariantClear(&argv[nargs - 1 - i]);
        }
    };
    for (; made < nargs; ++made) {
        VARIANT* slot = &argv[nargs - 1 - made];
        api.VariantInit(slot);
        if (!toVariant(args[made], slot)) {
            clearArgs();
            return nullptr;
        }
    }
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{nargs > 0 ? argv : nullptr, put ? &named : nullptr, static_cast<UINT>(nargs),
                      put ? 1u : 0u};
    ScopedVariant result;
    EXCEPINFO excep{};
    UINT argError = 0;
    IDispatch* object = self->object;
    HRESULT hr;
    {
        AllowThreads unlocked;
        hr = object->Invoke(dispid, kIidNull, 0, flags, &params, put ? nullptr : &result.v, &excep,
                            &argError);
        if (hr == kDispException && excep.pfnDeferredFillIn != nullptr) {
            excep.pfnDeferredFillIn(&excep);
        }
    }
    clearArgs();

    PyRef fallback;
    if (where == nullptr) {
        fallback.p = PyUnicode_FromFormat("Invoke(%d)", static_cast<int>(dispid));
        if (fallback.p == nullptr) {
            return nullptr;
        }
        where = fallback.p;
    }
    if (hr == kDispException) {
        api.SysFreeString(excep.bstrSource);
        api.SysFreeString(excep.bstrDescription);
        api.SysFreeString(excep.bstrHelpFile);
        // The member's own code; a server that filled only wCode still reports a failure.
        return raiseComError(excep.scode != 0 ? excep.scode : hr, where);
    }
    if (FAILED(hr)) {
        return raiseComError(hr, where);
    }
    return fromVariant(&result.v);
}

PyObject* whereOf(PyObject* name) {
    return name != nullptr && PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 ? name
                                                                                      : nullptr;
}

// The DISPID of a name: from the type's member table (any case), else from GetIDsOfNames,
// remembered per object. *member is the table entry (borrowed) or nullptr.
bool resolve(DispatchObject* self, PyObject* name, DISPID* dispid, MemberObject** member) {
    *member = nullptr;
    if (!checkAlive(self)) {
        return false;
    }
    if (self->members != nullptr) {
        PyObject* found = PyDict_GetItemWithError(self->members, name);
        if (found == nullptr && !PyErr_Occurred()) {
            PyRef lower(PyObject_CallMethod(name, "lower", nullptr));
            if (lower.p == nullptr) {
                return false;
            }
            found = PyDict_GetItemWithError(self->members, lower.p);
            if (found != nullptr && PyDict_GET_SIZE(self->members) < kMaxAliases &&
                PyDict_SetItem(self->members, name, found) != 0) {
                return false;
            }
        }
        if (found != nullptr) {
            *member = reinterpret_cast<MemberObject*>(found);
            *dispid = (*member)->dispid;
            return true;
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    if (self->dispids != nullptr) {
        PyObject* known = PyDict_GetItemWithError(self->dispids, name);
        if (known != nullptr) {
            *dispid = static_cast<DISPID>(PyLong_AsLong(known));
            return true;
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    std::u16string text;
    textFromPython(name, text);
    LPOLESTR names[] = {text.data()};
    DISPID id = DISPID_UNKNOWN;
    IDispatch* object = self->object;
    HRESULT hr;
    {
        AllowThreads unlocked;
        hr = object->GetIDsOfNames(kIidNull, names, 1, 0, &id);
    }
    if (FAILED(hr)) {
        PyErr_Format(PyExc_AttributeError, "%U (HRESULT 0x%08X)", name, static_cast<unsigned>(hr));
        return false;
    }
    if (self->dispids == nullptr && (self->dispids = PyDict_New()) == nullptr) {
        return false;
    }
    PyRef number(PyLong_FromLong(id));
    if (number.p == nullptr || PyDict_SetItem(self->dispids, name, number.p) != 0) {
        return false;
    }
    *dispid = id;
    return true;
}

PyObject* boundMemberCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    auto* self = reinterpret_cast<BoundMemberObject*>(callable);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        return PyErr_Format(PyExc_TypeError, "%U takes no keyword arguments", self->name);
    }
    return invoke(reinterpret_cast<DispatchObject*>(self->owner), self->dispid, kGetOrCall, args,
                  PyVectorcall_NARGS(nargsf), self->name, false);
}

extern PyTypeObject BoundMemberType;

PyObject* newBoundMember(PyObject* owner, PyObject* name, DISPID dispid) {
    auto* self = PyObject_New(BoundMemberObject, &BoundMemberType);
    if (self == nullptr) {
        return nullptr;
    }
    self->owner = Py_NewRef(owner);
    self->name = Py_NewRef(name);
    self->dispid = dispid;
    self->vectorcall = boundMemberCall;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* dispatchGetAttr(PyObject* obj, PyObject* name) {
    auto* self = reinterpret_cast<DispatchObject*>(obj);
    if (!PyUnicode_Check(name)) {
        return PyObject_GenericGetAttr(obj, name);
    }
    // The wrapper's own attributes all start with an underscore; other names go straight to
    // the server.
    if (PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '_') {
        PyObject* own = PyObject_GenericGetAttr(obj, name);
        if (own != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return own;
        }
        if (PyUnicode_GET_LENGTH(name) > 1 && PyUnicode_READ_CHAR(name, 1) == '_') {
            return nullptr;  // special names are never server members
        }
        PyErr_Clear();
    }
    DISPID dispid = 0;
    MemberObject* member = nullptr;
    if (!resolve(self, name, &dispid, &member)) {
        return nullptr;
    }
    // Methods and indexed properties come back callable; plain properties are read now.
    if (member != nullptr && ((member->kinds & INVOKE_FUNC) != 0 || member->params > 0)) {
        return newBoundMember(obj, name, dispid);
    }
    if (member != nullptr && (member->kinds & INVOKE_PROPERTYGET) == 0) {
        return PyErr_Format(PyExc_AttributeError, "%U is write-only", name);
    }
    return invoke(self, dispid, kGetOrCall, nullptr, 0, name, false);
}

int dispatchSetAttr(PyObject* obj, PyObject* name, PyObject* value) {
    auto* self = reinterpret_cast<DispatchObject*>(obj);
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "members of a server object cannot be deleted");
        return -1;
    }
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "member names are text");
        return -1;
    }
    DISPID dispid = 0;
    MemberObject* member = nullptr;
    if (!resolve(self, name, &dispid, &member)) {
        return -1;
    }
    PyRef done(invoke(self, dispid, DISPATCH_PROPERTYPUT, &value, 1, name, true));
    return done.p != nullptr ? 0 : -1;
}

PyObject* dispatchNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"progid", nullptr};
    PyObject* progid = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:Dispatch", const_cast<char**>(keywords),
                                     &progid) ||
        !requireBound()) {
        return nullptr;
    }
    ensureInitialized();
    std::u16string text;
    textFromPython(progid, text);
    CLSID clsid{};
    HRESULT hr = api.CLSIDFromString(text.c_str(), &clsid);
    if (FAILED(hr)) {
        PyRef where(PyUnicode_FromFormat("CLSIDFromString(%U)", progid));
        return where.p != nullptr ? raiseComError(hr, where.p) : nullptr;
    }
    ComRef<IDispatch> object;
    {
        // Creation may load the server library and run its initialization.
        AllowThreads unlocked;
        hr = api.CoCreateInstance(&clsid, nullptr, CLSCTX_INPROC_SERVER, &IID_IDispatch,
                                  reinterpret_cast<void**>(&object.p));
    }
    if (FAILED(hr) || object.p == nullptr) {
        PyRef where(PyUnicode_FromFormat("CoCreateInstance(%U)", progid));
        return where.p != nullptr ? raiseComError(FAILED(hr) ? hr : E_NOINTERFACE, where.p)
                                  : nullptr;
    }
    return newDispatch(object.release());
}

void dispatchDealloc(PyObject* obj) {
    auto* self = reinterpret_cast<DispatchObject*>(obj);
    if (self->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(obj);
    }
    Py_CLEAR(self->dispids);
    if (self->object != nullptr) {
        self->object->Release();
        self->object = nullptr;
    }
    PyObject_Free(obj);
}

PyObject* dispatchRepr(PyObject* obj) {
    return PyUnicode_FromFormat("<vantorcom.Dispatch at %p>",
                                static_cast<void*>(reinterpret_cast<DispatchObject*>(obj)->object));
}

PyObject* dispatchCall(PyObject* obj, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "the default member takes no keyword arguments");
        return nullptr;
    }
    PyRef where(PyUnicode_FromString("default member"));
    return where.p != nullptr
               ? invoke(reinterpret_cast<DispatchObject*>(obj), DISPID_VALUE, kGetOrCall,
                        &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), where.p, false)
               : nullptr;
}

PyObject* dispatchSubscript(PyObject* obj, PyObject* index) {
    PyRef where(PyUnicode_FromString("Item"));
    if (where.p == nullptr) {
        return nullptr;
    }
    auto* self = reinterpret_cast<DispatchObject*>(obj);
    if (PyTuple_Check(index)) {
        return invoke(self, DISPID_VALUE, kGetOrCall, &PyTuple_GET_ITEM(index, 0),
                      PyTuple_GET_SIZE(index), where.p, false);
    }
    return invoke(self, DISPID_VALUE, kGetOrCall, &index, 1, where.p, false);
}

PyObject* dispatchIter(PyObject* obj) {
    PyRef where(PyUnicode_FromString("_NewEnum"));
    if (where.p == nullptr) {
        return nullptr;
    }
    PyRef enumerator(invoke(reinterpret_cast<DispatchObject*>(obj), DISPID_NEWENUM, kGetOrCall,
                            nullptr, 0, where.p, false));
    if (enumerator.p == nullptr) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(enumerator.p, &UnknownType)) {
        PyErr_SetString(PyExc_TypeError, "_NewEnum did not return an enumerator");
        return nullptr;
    }
    return PyObject_GetIter(enumerator.p);
}

Py_ssize_t dispatchLength(PyObject* obj) {
    PyRef count(PyObject_GetAttrString(obj, "Count"));
    return count.p != nullptr ? PyNumber_AsSsize_t(count.p, PyExc_OverflowError) : -1;
}

int alwaysTrue(PyObject*) {
    return 1;
}

PyObject* dispatchPointer(PyObject* obj, void*) {
    auto* self = reinterpret_cast<DispatchObject*>(obj);
    if (self->object == nullptr) {
        Py_RETURN_NONE;
    }
    return PyLong_FromVoidPtr(self->object);
}

// obj._dispid(name) -> (dispid, member or None)
PyObject* dispatchDispid(PyObject* obj, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "member names are text");
        return nullptr;
    }
    DISPID dispid = 0;
    MemberObject* member = nullptr;
    if (!resolve(reinterpret_cast<DispatchObject*>(obj), name, &dispid, &member)) {
        return nullptr;
    }
    return Py_BuildValue("(iO)", static_cast<int>(dispid),
                         member != nullptr ? reinterpret_cast<PyObject*>(member) : Py_None);
}

// obj._invoke(dispid, flags, args, name="", put=False): a raw Invoke, for what attribute
// syntax cannot say (an indexed property put, for one).
PyObject* dispatchInvoke(PyObject* obj, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dispid", "flags", "args", "name", "put", nullptr};
    int dispid = 0;
    unsigned short flags = 0;
    PyObject* sequence = nullptr;
    PyObject* name = nullptr;
    int put = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iHO|Up:_invoke", const_cast<char**>(keywords),
                                     &dispid, &flags, &sequence, &name, &put)) {
        return nullptr;
    }
    PyRef items(PySequence_Fast(sequence, "arguments must be a sequence"));
    if (items.p == nullptr) {
        return nullptr;
    }
    return invoke(reinterpret_cast<DispatchObject*>(obj), dispid, flags,
                  PySequence_Fast_ITEMS(items.p), PySequence_Fast_GET_SIZE(items.p), whereOf(name),
                  put != 0);
}

PyMethodDef dispatchMethods[] = {
    {"_dispid", dispatchDispid, METH_O, "(dispid, member) of a name"},
    {"_invoke", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dispatchInvoke)),
     METH_VARARGS | METH_KEYWORDS, "one raw Invoke"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef dispatchGetSet[] = {
    {"_ptr", dispatchPointer, nullptr, "the IDispatch pointer, as an integer", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyNumberMethods dispatchNumber = {.nb_bool = alwaysTrue};
PyMappingMethods dispatchMapping = {.mp_length = dispatchLength, .mp_subscript = dispatchSubscript};
PyTypeObject DispatchType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "vantorcom.Dispatch",
    .tp_basicsize = sizeof(DispatchObject),
    .tp_dealloc = dispatchDealloc,
    .tp_repr = dispatchRepr,
    .tp_as_number = &dispatchNumber,
    .tp_as_mapping = &dispatchMapping,
    .tp_call = dispatchCall,
    .tp_getattro = dispatchGetAttr,
    .tp_setattro = dispatchSetAttr,
    // No garbage collection: a wrapper refers to no Python object that could refer back.
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "An object driven through IDispatch, created from a ProgID or CLSID text.",
    .tp_weaklistoffset = offsetof(DispatchObject, weakrefs),
    .tp_iter = dispatchIter,
    .tp_methods = dispatchMethods,
    .tp_getset = dispatchGetSet,
    .tp_new = dispatchNew,
};

// ---- Bound members ---------------------------------------------------------------------------

void boundMemberDealloc(PyObject* obj) {
    auto* self = reinterpret_cast<BoundMemberObject*>(obj);
    Py_CLEAR(self->owner);
    Py_CLEAR(self->name);
    PyObject_Free(obj);
}

PyObject* boundMemberRepr(PyObject* obj) {
    auto* self = reinterpret_cast<BoundMemberObject*>(obj);
    return PyUnicode_FromFormat("<member %U of %R>", self->name, self->owner);
}

PyTypeObject BoundMemberType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "vantorcom.BoundMember",
    .tp_basicsize = sizeof(BoundMemberObject),
    .tp_dealloc = boundMemberDealloc,
    .tp_vectorcall_offset = offsetof(BoundMemberObject, vectorcall),
    .tp_repr = boundMemberRepr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = "A method or indexed property of a server object, called with its arguments.",
};

// ---- Objects without IDispatch, and enumerators ---------------------------------------------

extern PyTypeObject EnumeratorType;

void unknownDealloc(PyObject* obj) {
    auto* self = reinterpret_cast<UnknownObject*>(obj);
    if (self->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(obj);
    }
    if (self->object != nullptr) {
        self->object->Release();
    }
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* unknownIter(PyObject* obj) {
    auto* self = reinterpret_cast<UnknownObject*>(obj);
    IEnumVARIANT* enumerator = nullptr;
    if (self->object == nullptr ||
        FAILED(self->object->QueryInterface(IID_IEnumVARIANT,
                                            reinterpret_cast<void**>(&enumerator))) ||
        enumerator == nullptr) {
        PyErr_SetString(PyExc_TypeError, "object does not enumerate");
        return nullptr;
    }
    auto* out = PyObject_New(EnumeratorObject, &EnumeratorType);
    if (out == nullptr) {
        enumerator->Release();
        return nullptr;
    }
    out->object = enumerator;
    return reinterpret_cast<PyObject*>(out);
}

PyObject* unknownPointer(PyObject* obj, void*) {
    auto* self = reinterpret_cast<UnknownObject*>(obj);
    if (self->object == nullptr) {
        Py_RETURN_NONE;
    }
    return PyLong_FromVoidPtr(self->object);
}

PyGetSetDef unknownGetSet[] = {
    {"_ptr", unknownPointer, nullptr, "the IUnknown pointer, as an integer", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject UnknownType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "vantorcom.Unknown",
    .tp_basicsize = sizeof(UnknownObject),
    .tp_dealloc = unknownDealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc =
        "An object without IDispatch (an enumerator, for instance); iterable if it "
        "enumerates.",
    .tp_weaklistoffset = offsetof(UnknownObject, weakrefs),
    .tp_iter = unknownIter,
    .tp_getset = unknownGetSet,
};

void enumeratorDealloc(PyObject* obj) {
    auto* self = reinterpret_cast<EnumeratorObject*>(obj);
    if (self->object != nullptr) {
        self->object->Release();
    }
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* enumeratorNext(PyObject* obj) {
    auto* self = reinterpret_cast<EnumeratorObject*>(obj);
    if (self->object == nullptr) {
        return nullptr;
    }
    ScopedVariant item;
    ULONG fetched = 0;
    IEnumVARIANT* enumerator = self->object;
    HRESULT hr;
    {
        AllowThreads unlocked;
        hr = enumerator->Next(1, &item.v, &fetched);
    }
    if (FAILED(hr)) {
        return raiseComError(hr, "IEnumVARIANT.Next");
    }
    if (fetched == 0) {
        // The end: let go of the enumerator now rather than when the iterator is dropped.
        self->object = nullptr;
        enumerator->Release();
        return nullptr;
    }
    return fromVariant(&item.v);
}

PyTypeObject EnumeratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "vantorcom.Enumerator",
    .tp_basicsize = sizeof(EnumeratorObject),
    .tp_dealloc = enumeratorDealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Iteration over an IEnumVARIANT.",
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = enumeratorNext,
};

// ---- Module functions ------------------------------------------------------------------------

template <typename F>
bool bindOne(void* handle, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(handle, name));
    if (slot == nullptr) {
        PyErr_Format(PyExc_ImportError, "vantorauto.so lacks %s", name);
        return false;
    }
    return true;
}

// _bind(handle, ComError, Empty, Missing, constants): the dlopen handle of the vantorauto.so
// that vantorcom loaded, and the Python objects the conversions use.
PyObject* moduleBind(PyObject*, PyObject* args) {
    PyObject* handleObject = nullptr;
    PyObject* error = nullptr;
    PyObject* empty = nullptr;
    PyObject* missing = nullptr;
    PyObject* constants = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOO!:_bind", &handleObject, &error, &empty, &missing,
                          &PyDict_Type, &constants)) {
        return nullptr;
    }
    void* handle = PyLong_AsVoidPtr(handleObject);
    if (handle == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "no library handle");
        }
        return nullptr;
    }
    Api table{};
    if (!bindOne(handle, "vauto_CoInitialize", table.CoInitialize) ||
        !bindOne(handle, "vauto_CLSIDFromString", table.CLSIDFromString) ||
        !bindOne(handle, "vauto_CoCreateInstance", table.CoCreateInstance) ||
        !bindOne(handle, "vauto_SysAllocStringLen", table.SysAllocStringLen) ||
        !bindOne(handle, "vauto_SysFreeString", table.SysFreeString) ||
        !bindOne(handle, "vauto_SysStringLen", table.SysStringLen) ||
        !bindOne(handle, "vauto_VariantInit", table.VariantInit) ||
        !bindOne(handle, "vauto_VariantClear", table.VariantClear) ||
        !bindOne(handle, "vauto_SystemTimeToVariantTime", table.SystemTimeToVariantTime) ||
        !bindOne(handle, "vauto_VariantTimeToSystemTime", table.VariantTimeToSystemTime) ||
        !bindOne(handle, "vauto_SafeArrayCreate", table.SafeArrayCreate) ||
        !bindOne(handle, "vauto_SafeArrayDestroy", table.SafeArrayDestroy) ||
        !bindOne(handle, "vauto_SafeArrayGetDim", table.SafeArrayGetDim) ||
        !bindOne(handle, "vauto_SafeArrayGetVartype", table.SafeArrayGetVartype)) {
        return nullptr;
    }
    api = table;
    Py_XSETREF(comErrorType, Py_NewRef(error));
    Py_XSETREF(emptyMarker, Py_NewRef(empty));
    Py_XSETREF(missingMarker, Py_NewRef(missing));
    Py_XSETREF(constantsDict, Py_NewRef(constants));
    bound = true;
    Py_RETURN_NONE;
}

void* addressOf(PyObject* address) {
    void* p = PyLong_AsVoidPtr(address);
    if (p == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "null VARIANT address");
    }
    return p;
}

// to_variant_at(value, address): fills the VARIANT at address with its own copy of value.
PyObject* moduleToVariant(PyObject*, PyObject* args) {
    PyObject* value = nullptr;
    PyObject* address = nullptr;
    if (!PyArg_ParseTuple(args, "OO:to_variant_at", &value, &address) || !requireBound()) {
        return nullptr;
    }
    auto* v = static_cast<VARIANT*>(addressOf(address));
    if (v == nullptr) {
        return nullptr;
    }
    api.VariantInit(v);
    if (!toVariant(value, v)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// from_variant_at(address): the Python value of the VARIANT at address (left as it is).
PyObject* moduleFromVariant(PyObject*, PyObject* address) {
    if (!requireBound()) {
        return nullptr;
    }
    auto* v = static_cast<const VARIANT*>(addressOf(address));
    return v != nullptr ? fromVariant(v) : nullptr;
}

PyMethodDef moduleMethods[] = {
    {"_bind", moduleBind, METH_VARARGS, "binds the core to vantorauto.so"},
    {"to_variant_at", moduleToVariant, METH_VARARGS, "fills the VARIANT at an address"},
    {"from_variant_at", moduleFromVariant, METH_O, "reads the VARIANT at an address"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_vantorcom",
    .m_doc = "The compiled core of the vantorcom late-bound client.",
    .m_size = -1,
    .m_methods = moduleMethods,
};

}  // namespace

PyMODINIT_FUNC PyInit__vantorcom() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        return nullptr;
    }
    for (PyTypeObject* type :
         {&MemberType, &DispatchType, &BoundMemberType, &UnknownType, &EnumeratorType}) {
        if (PyType_Ready(type) != 0) {
            return nullptr;
        }
    }
    PyObject* module = PyModule_Create(&moduleDef);
    if (module == nullptr) {
        return nullptr;
    }
    if (PyModule_AddObjectRef(module, "Dispatch", reinterpret_cast<PyObject*>(&DispatchType)) !=
            0 ||
        PyModule_AddObjectRef(module, "Unknown", reinterpret_cast<PyObject*>(&UnknownType)) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
