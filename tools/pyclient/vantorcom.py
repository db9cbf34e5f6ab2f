"""Late-bound Automation client: drive any registered in-process server by name.

    import vantorcom
    coll = vantorcom.Dispatch("Pavlox.VariantCollection")
    print(coll.Count, vantorcom.constants.eCKR_PIN_INCORRECT)

Objects are created through the registry (ProgID or CLSID text) and every member is reached
through IDispatch: properties by attribute access, methods by call, the default member by
calling or indexing the object, collections by iteration. Values cross as VARIANTs: None is
Null, ``Empty`` is VT_EMPTY, ``Missing`` an omitted optional argument, bytes a VT_UI1 array,
lists and tuples VARIANT arrays, datetime a date. The enumerations of every type library met
are collected in ``constants``.

The module runs on /usr/bin/python3. Each late-bound call is made by its compiled core,
_vantorcom (member lookup with cached DISPIDs, Invoke, VARIANT and SAFEARRAY conversion), found
beside this file or on the module path; the COM and Automation calls themselves come from
vantorauto.so, loaded from VANTOR_AUTOMATION_LIB, from beside this file, or from the library
search path, and handed to the core.
"""

import ctypes
import importlib.machinery
import importlib.util
import os

__all__ = ["Dispatch", "Unknown", "ComError", "constants", "Empty", "Missing", "to_variant",
           "from_variant", "change_type", "VARIANT", "put"]

# ---- Types and codes -------------------------------------------------------------------

HRESULT = ctypes.c_int32
ULONG = ctypes.c_uint32
LONG = ctypes.c_int32
DISPID = ctypes.c_int32
VARTYPE = ctypes.c_ushort
LPVOID = ctypes.c_void_p

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR = range(9)
VT_DISPATCH, VT_ERROR, VT_BOOL, VT_VARIANT, VT_UNKNOWN, VT_DECIMAL = 9, 10, 11, 12, 13, 14
VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT = range(16, 24)
VT_ARRAY, VT_BYREF, VT_TYPEMASK = 0x2000, 0x4000, 0x0FFF

DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT = 1, 2, 4
DISPID_VALUE, DISPID_PROPERTYPUT, DISPID_NEWENUM = 0, -3, -4
INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT = 1, 2, 4

S_OK = 0
S_FALSE = 1
E_NOINTERFACE = -2147467262
DISP_E_EXCEPTION = -2147352567
DISP_E_PARAMNOTFOUND = -2147352572
DISP_E_MEMBERNOTFOUND = -2147352573
DISP_E_UNKNOWNNAME = -2147352570


class _VariantValue(ctypes.Union):
    _fields_ = [("llVal", ctypes.c_int64), ("lVal", ctypes.c_int32), ("bVal", ctypes.c_ubyte),
                ("iVal", ctypes.c_int16), ("fltVal", ctypes.c_float),
                ("dblVal", ctypes.c_double), ("boolVal", ctypes.c_int16),
                ("scode", ctypes.c_int32), ("cVal", ctypes.c_byte), ("uiVal", ctypes.c_uint16),
                ("ulVal", ctypes.c_uint32), ("ullVal", ctypes.c_uint64), ("ptr", ctypes.c_void_p),
                ("pair", ctypes.c_void_p * 2)]


class VARIANT(ctypes.Structure):
    _fields_ = [("vt", VARTYPE), ("r1", ctypes.c_ushort), ("r2", ctypes.c_ushort),
                ("r3", ctypes.c_ushort), ("v", _VariantValue)]


assert ctypes.sizeof(VARIANT) == 24


class SAFEARRAYBOUND(ctypes.Structure):
    _fields_ = [("cElements", ctypes.c_uint32), ("lLbound", ctypes.c_int32)]


# ---- The native libraries ----------------------------------------------------------------

def _load_library():
    candidates = []
    if os.environ.get("VANTOR_AUTOMATION_LIB"):
        candidates.append(os.environ["VANTOR_AUTOMATION_LIB"])
    candidates.append(os.path.join(_HERE, "vantorauto.so"))
    candidates.append("vantorauto.so")
    errors = []
    for path in candidates:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            errors.append("%s: %s" % (path, e))
    raise ImportError("vantorauto.so not found (" + "; ".join(errors) + ")")


def _load_core():
    """The compiled core, from beside this file first, as vantorauto.so is found."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(_HERE, "_vantorcom" + suffix)
        if os.path.exists(path):
            spec = importlib.util.spec_from_file_location("_vantorcom", path)
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            return module
    import _vantorcom
    return _vantorcom


_HERE = os.path.dirname(os.path.abspath(__file__))
_lib = _load_library()
_core = _load_core()


def _proto(name, restype, *argtypes):
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


# The few calls scripts and tests make on raw VARIANTs and SAFEARRAYs; everything on the path
# of a late-bound call runs in the compiled core.
_VariantInit = _proto("vauto_VariantInit", None, ctypes.POINTER(VARIANT))
_VariantClear = _proto("vauto_VariantClear", HRESULT, ctypes.POINTER(VARIANT))
_VariantChangeType = _proto("vauto_VariantChangeType", HRESULT, ctypes.POINTER(VARIANT),
                            ctypes.POINTER(VARIANT), ctypes.c_ushort, VARTYPE)
_SafeArrayCreate = _proto("vauto_SafeArrayCreate", LPVOID, VARTYPE, ctypes.c_uint32,
                          ctypes.POINTER(SAFEARRAYBOUND))
_SafeArrayDestroy = _proto("vauto_SafeArrayDestroy", HRESULT, LPVOID)
_SafeArrayPutElement = _proto("vauto_SafeArrayPutElement", HRESULT, LPVOID,
                              ctypes.POINTER(LONG), LPVOID)


# ---- Errors ------------------------------------------------------------------------------

class ComError(Exception):
    """A failed call. ``hresult`` is the member's own HRESULT (taken from the exception
    information when Invoke reports DISP_E_EXCEPTION), as a signed 32-bit value."""

    def __init__(self, hresult, where=""):
        self.hresult = hresult
        super().__init__("%s failed with HRESULT 0x%08X" % (where or "call", hresult & 0xFFFFFFFF))


def _check(hr, where):
    if hr < 0:
        raise ComError(hr, where)
    return hr


# ---- VARIANT <-> Python --------------------------------------------------------------------

class _Marker:
    def __init__(self, name):
        self._name = name

    def __repr__(self):
        return "vantorcom." + self._name


Empty = _Marker("Empty")      # VT_EMPTY
Missing = _Marker("Missing")  # an omitted optional argument (VT_ERROR, DISP_E_PARAMNOTFOUND)


def from_variant(var):
    """The Python value of a VARIANT (which stays owned by the caller)."""
    if not isinstance(var, VARIANT):
        raise TypeError("from_variant takes a vantorcom.VARIANT, not %s" % type(var).__name__)
    return _core.from_variant_at(ctypes.addressof(var))


def to_variant(value, var=None):
    """Fills (or makes) a VARIANT that owns its copy of value; clear it with VariantClear."""
    if var is None:
        var = VARIANT()
    elif not isinstance(var, VARIANT):
        # The core writes a whole VARIANT at the address: anything smaller would be overrun.
        raise TypeError("to_variant fills a vantorcom.VARIANT, not %s" % type(var).__name__)
    _core.to_variant_at(value, ctypes.addressof(var))
    return var


def change_type(value, vt, flags=0):
    """Converts value with VariantChangeType to the VARTYPE vt and returns the Python result."""
    src = to_variant(value)
    dst = VARIANT()
    try:
        _check(_VariantChangeType(ctypes.byref(dst), ctypes.byref(src), flags, vt),
               "VariantChangeType")
        return from_variant(dst)
    finally:
        _VariantClear(ctypes.byref(src))
        _VariantClear(ctypes.byref(dst))


# ---- Constants and objects -----------------------------------------------------------------

class _Constants:
    """The enumeration values of every type library met so far, by name."""

    def __init__(self):
        self._values = {}

    def __getattr__(self, name):
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None

    def __contains__(self, name):
        return name in self._values

    def __dir__(self):
        return sorted(self._values)


constants = _Constants()

_core._bind(_lib._handle, ComError, Empty, Missing, constants._values)

# Dispatch(progid): an object driven through IDispatch, created from a ProgID or CLSID text.
# Properties by attribute access, methods and indexed properties by call, the default member by
# calling or indexing, collections by iteration, len() by Count. obj._dispid(name) and
# obj._invoke(dispid, flags, args, name="", put=False) make a raw call for what the syntax
# cannot say, such as putting an indexed property.
Dispatch = _core.Dispatch
# An object without IDispatch (an enumerator, for instance); iterable if it enumerates.
Unknown = _core.Unknown


def put(obj, name, *args):
    """Puts an indexed property, what a script host writes as obj.Name(index...) = value:
    put(attr, "ValueSafe", constants.eCKA_LABEL, "My key"). The last argument is the value."""
    if not args:
        raise TypeError("put() needs the value to put")
    dispid, _ = obj._dispid(name)
    obj._invoke(dispid, DISPATCH_PROPERTYPUT, tuple(args), name, put=True)
