// _vantorcom: Dispatch objects (creation, member lookup, late-bound calls, indexing and
// iteration) and the bound members they hand out.
#include "core.h"

#include <vector>

namespace vantorcom {

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

}  // namespace vantorcom
