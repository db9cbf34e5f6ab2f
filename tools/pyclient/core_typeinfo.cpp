// _vantorcom: member tables from type information, and the type libraries' constants.
#include "core.h"

#include <array>
#include <cstring>
#include <map>
#include <set>

namespace vantorcom {

// ---- Type information: members and constants -------------------------------------------------

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

}  // namespace vantorcom
