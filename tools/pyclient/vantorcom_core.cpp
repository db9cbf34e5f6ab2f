// _vantorcom: the compiled core of the late-bound Python client. It makes every per-call step
// natively (member lookup with cached DISPIDs, Invoke, VARIANT and SAFEARRAY conversion both
// ways, enumeration) so that a property read costs about as much as the server's own work.
// This file: objects without IDispatch, enumerators, the module's functions and its
// initialization; the rest is in the core_*.cpp files beside it (core.h).
#include <dlfcn.h>

#include "core.h"

namespace vantorcom {

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

}  // namespace vantorcom

using namespace vantorcom;

PyMODINIT_FUNC PyInit__vantorcom() {
    if (!vantorcom::importDates()) {
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
