// _vantorcom: VARIANT and SAFEARRAY values to Python values and back.
#include "core.h"

#include <cstring>
#include <vector>

namespace vantorcom {

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
    if (isDate(value)) {  // datetime is a date too
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

}  // namespace vantorcom
