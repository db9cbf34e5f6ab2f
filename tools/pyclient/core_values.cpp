// _vantorcom: COM errors as Python exceptions, text between BSTR and str, and dates.
#include "core.h"

// datetime.h after Python.h (included by core.h), as it needs its types.
#include <datetime.h>

namespace vantorcom {

Api api{};
bool bound = false;
PyObject* comErrorType = nullptr;
PyObject* emptyMarker = nullptr;
PyObject* missingMarker = nullptr;
PyObject* constantsDict = nullptr;

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

// PyDateTime_IMPORT fills a pointer private to each file that includes datetime.h, so every
// use of the datetime interface lives in this file.
bool importDates() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

bool isDate(PyObject* value) {
    return PyDate_Check(value);  // a datetime is a date too
}

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

}  // namespace vantorcom
