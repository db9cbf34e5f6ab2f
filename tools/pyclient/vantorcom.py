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

The module runs on /usr/bin/python3 with ctypes only; it loads vantorauto.so from
VANTOR_AUTOMATION_LIB, from beside this file, or from the library search path.
"""

import ctypes
import datetime
import os
import threading

__all__ = ["Dispatch", "ComError", "constants", "Empty", "Missing", "to_variant",
           "from_variant", "change_type", "VARIANT"]

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
TKIND_ENUM = 0
CLSCTX_INPROC_SERVER = 1

S_OK = 0
S_FALSE = 1
E_NOINTERFACE = -2147467262
DISP_E_EXCEPTION = -2147352567
DISP_E_PARAMNOTFOUND = -2147352572
DISP_E_MEMBERNOTFOUND = -2147352573
DISP_E_UNKNOWNNAME = -2147352570


class GUID(ctypes.Structure):
    _fields_ = [("Data1", ctypes.c_uint32), ("Data2", ctypes.c_uint16),
                ("Data3", ctypes.c_uint16), ("Data4", ctypes.c_ubyte * 8)]

    @classmethod
    def parse(cls, text):
        hexdigits = text.strip("{}").replace("-", "")
        raw = bytes.fromhex(hexdigits)
        return cls(int.from_bytes(raw[0:4], "big"), int.from_bytes(raw[4:6], "big"),
                   int.from_bytes(raw[6:8], "big"), (ctypes.c_ubyte * 8)(*raw[8:16]))

    def __str__(self):
        d4 = bytes(self.Data4)
        return "{%08X-%04X-%04X-%s-%s}" % (self.Data1, self.Data2, self.Data3,
                                           d4[:2].hex().upper(), d4[2:].hex().upper())


IID_NULL = GUID()
IID_IUnknown = GUID.parse("{00000000-0000-0000-C000-000000000046}")
IID_IDispatch = GUID.parse("{00020400-0000-0000-C000-000000000046}")
IID_IEnumVARIANT = GUID.parse("{00020404-0000-0000-C000-000000000046}")


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


class DISPPARAMS(ctypes.Structure):
    _fields_ = [("rgvarg", ctypes.POINTER(VARIANT)), ("rgdispidNamedArgs", ctypes.POINTER(DISPID)),
                ("cArgs", ctypes.c_uint32), ("cNamedArgs", ctypes.c_uint32)]


class EXCEPINFO(ctypes.Structure):
    _fields_ = [("wCode", ctypes.c_ushort), ("wReserved", ctypes.c_ushort),
                ("bstrSource", ctypes.c_void_p), ("bstrDescription", ctypes.c_void_p),
                ("bstrHelpFile", ctypes.c_void_p), ("dwHelpContext", ctypes.c_uint32),
                ("pvReserved", ctypes.c_void_p), ("pfnDeferredFillIn", ctypes.c_void_p),
                ("scode", ctypes.c_int32)]


class SAFEARRAYBOUND(ctypes.Structure):
    _fields_ = [("cElements", ctypes.c_uint32), ("lLbound", ctypes.c_int32)]


class SYSTEMTIME(ctypes.Structure):
    _fields_ = [(n, ctypes.c_uint16) for n in ("wYear", "wMonth", "wDayOfWeek", "wDay", "wHour",
                                               "wMinute", "wSecond", "wMilliseconds")]


class _TypeAttr(ctypes.Structure):
    _fields_ = [("guid", GUID), ("lcid", ctypes.c_uint32), ("dwReserved", ctypes.c_uint32),
                ("memidConstructor", ctypes.c_int32), ("memidDestructor", ctypes.c_int32),
                ("lpstrSchema", ctypes.c_void_p), ("cbSizeInstance", ctypes.c_uint32),
                ("typekind", ctypes.c_int), ("cFuncs", ctypes.c_uint16),
                ("cVars", ctypes.c_uint16), ("cImplTypes", ctypes.c_uint16),
                ("cbSizeVft", ctypes.c_uint16), ("cbAlignment", ctypes.c_uint16),
                ("wTypeFlags", ctypes.c_uint16), ("wMajorVerNum", ctypes.c_uint16),
                ("wMinorVerNum", ctypes.c_uint16)]


class _TypeDesc(ctypes.Structure):
    _fields_ = [("ptr", ctypes.c_void_p), ("vt", VARTYPE)]


class _ElemDesc(ctypes.Structure):
    _fields_ = [("tdesc", _TypeDesc), ("p1", ctypes.c_void_p), ("flags", ctypes.c_uint16)]


class _FuncDesc(ctypes.Structure):
    _fields_ = [("memid", ctypes.c_int32), ("lprgscode", ctypes.c_void_p),
                ("lprgelemdescParam", ctypes.POINTER(_ElemDesc)), ("funckind", ctypes.c_int),
                ("invkind", ctypes.c_int), ("callconv", ctypes.c_int),
                ("cParams", ctypes.c_int16), ("cParamsOpt", ctypes.c_int16),
                ("oVft", ctypes.c_int16), ("cScodes", ctypes.c_int16),
                ("elemdescFunc", _ElemDesc), ("wFuncFlags", ctypes.c_uint16)]


class _VarDesc(ctypes.Structure):
    _fields_ = [("memid", ctypes.c_int32), ("lpstrSchema", ctypes.c_void_p),
                ("lpvarValue", ctypes.POINTER(VARIANT))]


# ---- The native library ------------------------------------------------------------------

def _load_library():
    candidates = []
    if os.environ.get("VANTOR_AUTOMATION_LIB"):
        candidates.append(os.environ["VANTOR_AUTOMATION_LIB"])
    candidates.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "vantorauto.so"))
    candidates.append("vantorauto.so")
    errors = []
    for path in candidates:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            errors.append("%s: %s" % (path, e))
    raise ImportError("vantorauto.so not found (" + "; ".join(errors) + ")")


_lib = _load_library()


def _proto(name, restype, *argtypes):
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_CoInitialize = _proto("vauto_CoInitialize", HRESULT)
_CLSIDFromString = _proto("vauto_CLSIDFromString", HRESULT, ctypes.c_void_p, ctypes.POINTER(GUID))
_CoCreateInstance = _proto("vauto_CoCreateInstance", HRESULT, ctypes.POINTER(GUID), LPVOID,
                           ULONG, ctypes.POINTER(GUID), ctypes.POINTER(LPVOID))
_SysAllocStringLen = _proto("vauto_SysAllocStringLen", LPVOID, ctypes.c_void_p, ctypes.c_uint32)
_SysFreeString = _proto("vauto_SysFreeString", None, LPVOID)
_SysStringLen = _proto("vauto_SysStringLen", ctypes.c_uint32, LPVOID)
_VariantInit = _proto("vauto_VariantInit", None, ctypes.POINTER(VARIANT))
_VariantClear = _proto("vauto_VariantClear", HRESULT, ctypes.POINTER(VARIANT))
_VariantChangeType = _proto("vauto_VariantChangeType", HRESULT, ctypes.POINTER(VARIANT),
                            ctypes.POINTER(VARIANT), ctypes.c_ushort, VARTYPE)
_SystemTimeToVariantTime = _proto("vauto_SystemTimeToVariantTime", ctypes.c_int32,
                                  ctypes.POINTER(SYSTEMTIME), ctypes.POINTER(ctypes.c_double))
_VariantTimeToSystemTime = _proto("vauto_VariantTimeToSystemTime", ctypes.c_int32,
                                  ctypes.c_double, ctypes.POINTER(SYSTEMTIME))
_SafeArrayCreate = _proto("vauto_SafeArrayCreate", LPVOID, VARTYPE, ctypes.c_uint32,
                          ctypes.POINTER(SAFEARRAYBOUND))
_SafeArrayDestroy = _proto("vauto_SafeArrayDestroy", HRESULT, LPVOID)
_SafeArrayGetDim = _proto("vauto_SafeArrayGetDim", ctypes.c_uint32, LPVOID)
_SafeArrayGetLBound = _proto("vauto_SafeArrayGetLBound", HRESULT, LPVOID, ctypes.c_uint32,
                             ctypes.POINTER(LONG))
_SafeArrayGetUBound = _proto("vauto_SafeArrayGetUBound", HRESULT, LPVOID, ctypes.c_uint32,
                             ctypes.POINTER(LONG))
_SafeArrayGetVartype = _proto("vauto_SafeArrayGetVartype", HRESULT, LPVOID,
                              ctypes.POINTER(VARTYPE))
_SafeArrayPtrOfIndex = _proto("vauto_SafeArrayPtrOfIndex", HRESULT, LPVOID,
                              ctypes.POINTER(LONG), ctypes.POINTER(LPVOID))
_SafeArrayPutElement = _proto("vauto_SafeArrayPutElement", HRESULT, LPVOID,
                              ctypes.POINTER(LONG), LPVOID)

_initialized = threading.local()


def _ensure_initialized():
    if not getattr(_initialized, "done", False):
        _CoInitialize()
        _initialized.done = True


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


# ---- Calls through vtables ---------------------------------------------------------------

_prototypes = {}


def _method(ptr, index, restype, *argtypes):
    """The function in slot index of the interface at ptr, callable with ptr first."""
    key = (restype,) + argtypes
    proto = _prototypes.get(key)
    if proto is None:
        proto = ctypes.CFUNCTYPE(restype, LPVOID, *argtypes)
        _prototypes[key] = proto
    vtable = ctypes.cast(ctypes.c_void_p(ptr), ctypes.POINTER(ctypes.POINTER(LPVOID)))[0]
    return proto(vtable[index])


def _add_ref(ptr):
    return _method(ptr, 1, ULONG)(ptr)


def _release(ptr):
    return _method(ptr, 2, ULONG)(ptr)


def _query_interface(ptr, iid):
    out = LPVOID()
    hr = _method(ptr, 0, HRESULT, ctypes.POINTER(GUID), ctypes.POINTER(LPVOID))(
        ptr, ctypes.byref(iid), ctypes.byref(out))
    return hr, out.value


def _bstr_to_str(bstr):
    if not bstr:
        return ""
    n = _SysStringLen(bstr)
    return ctypes.string_at(bstr, n * 2).decode("utf-16-le", errors="surrogatepass")


def _str_to_bstr(text):
    data = text.encode("utf-16-le", errors="surrogatepass")
    b = _SysAllocStringLen(data, len(data) // 2)
    if not b and data:
        raise MemoryError("BSTR allocation failed")
    return b


# ---- VARIANT <-> Python --------------------------------------------------------------------

class _Marker:
    def __init__(self, name):
        self._name = name

    def __repr__(self):
        return "vantorcom." + self._name


Empty = _Marker("Empty")      # VT_EMPTY
Missing = _Marker("Missing")  # an omitted optional argument (VT_ERROR, DISP_E_PARAMNOTFOUND)

_EPOCH = datetime.datetime(1899, 12, 30)


def _date_to_python(value):
    st = SYSTEMTIME()
    if not _VariantTimeToSystemTime(value, ctypes.byref(st)):
        raise ValueError("date out of range: %r" % value)
    return datetime.datetime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond)


def _date_from_python(dt):
    st = SYSTEMTIME(dt.year, dt.month, 0, dt.day, getattr(dt, "hour", 0),
                    getattr(dt, "minute", 0), getattr(dt, "second", 0), 0)
    out = ctypes.c_double()
    if not _SystemTimeToVariantTime(ctypes.byref(st), ctypes.byref(out)):
        raise ValueError("date out of range: %r" % (dt,))
    return out.value


_SCALAR_READERS = {
    VT_I1: lambda p: ctypes.c_byte.from_address(p).value,
    VT_UI1: lambda p: ctypes.c_ubyte.from_address(p).value,
    VT_I2: lambda p: ctypes.c_int16.from_address(p).value,
    VT_UI2: lambda p: ctypes.c_uint16.from_address(p).value,
    VT_I4: lambda p: ctypes.c_int32.from_address(p).value,
    VT_INT: lambda p: ctypes.c_int32.from_address(p).value,
    VT_ERROR: lambda p: ctypes.c_int32.from_address(p).value,
    VT_UI4: lambda p: ctypes.c_uint32.from_address(p).value,
    VT_UINT: lambda p: ctypes.c_uint32.from_address(p).value,
    VT_I8: lambda p: ctypes.c_int64.from_address(p).value,
    VT_UI8: lambda p: ctypes.c_uint64.from_address(p).value,
    VT_R4: lambda p: ctypes.c_float.from_address(p).value,
    VT_R8: lambda p: ctypes.c_double.from_address(p).value,
    VT_CY: lambda p: ctypes.c_int64.from_address(p).value / 10000.0,
    VT_DATE: lambda p: _date_to_python(ctypes.c_double.from_address(p).value),
    VT_BOOL: lambda p: ctypes.c_int16.from_address(p).value != 0,
    VT_BSTR: lambda p: _bstr_to_str(ctypes.c_void_p.from_address(p).value),
    VT_DISPATCH: lambda p: _wrap_object(ctypes.c_void_p.from_address(p).value),
    VT_UNKNOWN: lambda p: _wrap_object(ctypes.c_void_p.from_address(p).value),
    VT_VARIANT: lambda p: from_variant(VARIANT.from_address(p)),
}


def _read_value(vt, address):
    reader = _SCALAR_READERS.get(vt)
    if reader is None:
        raise TypeError("VARIANT type 0x%04X has no Python form" % vt)
    return reader(address)


def _array_to_python(psa):
    vt = VARTYPE()
    _check(_SafeArrayGetVartype(psa, ctypes.byref(vt)), "SafeArrayGetVartype")
    dims = _SafeArrayGetDim(psa)
    bounds = []
    for d in range(1, dims + 1):
        lo, hi = LONG(), LONG()
        _check(_SafeArrayGetLBound(psa, d, ctypes.byref(lo)), "SafeArrayGetLBound")
        _check(_SafeArrayGetUBound(psa, d, ctypes.byref(hi)), "SafeArrayGetUBound")
        bounds.append((lo.value, hi.value))
    indices = (LONG * max(dims, 1))()

    def element(index):
        for i, v in enumerate(index):
            indices[i] = v
        ptr = LPVOID()
        _check(_SafeArrayPtrOfIndex(psa, indices, ctypes.byref(ptr)), "SafeArrayPtrOfIndex")
        return _read_value(vt.value, ptr.value)

    if vt.value == VT_UI1 and dims == 1:
        lo, hi = bounds[0]
        return bytes(element((i,)) for i in range(lo, hi + 1))

    # Nested tuples, dimension 1 outermost, each dimension from its own lower bound.
    def build(prefix):
        d = len(prefix)
        lo, hi = bounds[d]
        if d == dims - 1:
            return tuple(element(prefix + (i,)) for i in range(lo, hi + 1))
        return tuple(build(prefix + (i,)) for i in range(lo, hi + 1))

    return build(())


def from_variant(var):
    """The Python value of a VARIANT (which stays owned by the caller)."""
    vt = var.vt
    if vt & VT_BYREF:
        base = vt & ~VT_BYREF
        if not var.v.ptr:
            return None
        if base & VT_ARRAY:
            return _array_to_python(ctypes.c_void_p.from_address(var.v.ptr).value)
        return _read_value(base, var.v.ptr)
    if vt & VT_ARRAY:
        return _array_to_python(var.v.ptr)
    if vt in (VT_EMPTY, VT_NULL):
        return None
    return _read_value(vt, ctypes.addressof(var) + 8)


def _fill_array(items, vt):
    bound = SAFEARRAYBOUND(len(items), 0)
    psa = _SafeArrayCreate(vt, 1, ctypes.byref(bound))
    if not psa:
        raise MemoryError("SAFEARRAY allocation failed")
    try:
        index = (LONG * 1)()
        for i, item in enumerate(items):
            index[0] = i
            if vt == VT_UI1:
                cell = ctypes.c_ubyte(item)
                _check(_SafeArrayPutElement(psa, index, ctypes.addressof(cell)), "SafeArrayPutElement")
            else:
                v = VARIANT()
                to_variant(item, v)
                try:
                    _check(_SafeArrayPutElement(psa, index, ctypes.addressof(v)), "SafeArrayPutElement")
                finally:
                    _VariantClear(ctypes.byref(v))
    except BaseException:
        _SafeArrayDestroy(psa)
        raise
    return psa


def to_variant(value, var=None):
    """Fills (or makes) a VARIANT that owns its copy of value; clear it with VariantClear."""
    if var is None:
        var = VARIANT()
    _VariantInit(ctypes.byref(var))
    if value is Empty:
        pass
    elif value is None:
        var.vt = VT_NULL
    elif value is Missing:
        var.vt = VT_ERROR
        var.v.scode = DISP_E_PARAMNOTFOUND
    elif isinstance(value, bool):
        var.vt = VT_BOOL
        var.v.boolVal = -1 if value else 0
    elif isinstance(value, int):
        if -2**31 <= value < 2**31:
            var.vt, var.v.lVal = VT_I4, value
        elif 0 <= value < 2**32:
            var.vt, var.v.ulVal = VT_UI4, value
        elif -2**63 <= value < 2**63:
            var.vt, var.v.llVal = VT_I8, value
        elif 0 <= value < 2**64:
            var.vt, var.v.ullVal = VT_UI8, value
        else:
            raise OverflowError("integer does not fit 64 bits: %d" % value)
    elif isinstance(value, float):
        var.vt, var.v.dblVal = VT_R8, value
    elif isinstance(value, str):
        var.vt, var.v.ptr = VT_BSTR, _str_to_bstr(value)
    elif isinstance(value, (bytes, bytearray, memoryview)):
        var.vt, var.v.ptr = VT_ARRAY | VT_UI1, _fill_array(bytes(value), VT_UI1)
    elif isinstance(value, (datetime.datetime, datetime.date)):
        var.vt, var.v.dblVal = VT_DATE, _date_from_python(value)
    elif isinstance(value, Dispatch):
        _add_ref(value._ptr)
        var.vt, var.v.ptr = VT_DISPATCH, value._ptr
    elif isinstance(value, (list, tuple)):
        var.vt, var.v.ptr = VT_ARRAY | VT_VARIANT, _fill_array(list(value), VT_VARIANT)
    else:
        raise TypeError("no VARIANT form for %r" % (value,))
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


# ---- Type information and constants ------------------------------------------------------

class _Constants:
    """The enumeration values of every type library met so far, by name."""

    def __init__(self):
        self._values = {}
        self._libraries = set()
        self._lock = threading.Lock()

    def __getattr__(self, name):
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None

    def __contains__(self, name):
        return name in self._values

    def __dir__(self):
        return sorted(self._values)

    def _load(self, typelib):
        libattr = LPVOID()
        _check(_method(typelib, 7, HRESULT, ctypes.POINTER(LPVOID))(typelib, ctypes.byref(libattr)),
               "ITypeLib.GetLibAttr")
        key = str(GUID.from_address(libattr.value))
        _method(typelib, 12, None, LPVOID)(typelib, libattr)
        with self._lock:
            if key in self._libraries:
                return
            self._libraries.add(key)
        count = _method(typelib, 3, ctypes.c_uint32)(typelib)
        kind = ctypes.c_int()
        for i in range(count):
            if _method(typelib, 5, HRESULT, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int))(
                    typelib, i, ctypes.byref(kind)) < 0 or kind.value != TKIND_ENUM:
                continue
            info = LPVOID()
            _check(_method(typelib, 4, HRESULT, ctypes.c_uint32, ctypes.POINTER(LPVOID))(
                typelib, i, ctypes.byref(info)), "ITypeLib.GetTypeInfo")
            try:
                attr = _type_attr(info.value)
                for v in range(attr.cVars):
                    desc = LPVOID()
                    _check(_method(info.value, 6, HRESULT, ctypes.c_uint32, ctypes.POINTER(LPVOID))(
                        info.value, v, ctypes.byref(desc)), "ITypeInfo.GetVarDesc")
                    vd = _VarDesc.from_address(desc.value)
                    name = _documentation(info.value, vd.memid)
                    value = from_variant(vd.lpvarValue.contents)
                    _method(info.value, 21, None, LPVOID)(info.value, desc)
                    with self._lock:
                        self._values[name] = value
            finally:
                _release(info.value)


constants = _Constants()


def _type_attr(info):
    p = LPVOID()
    _check(_method(info, 3, HRESULT, ctypes.POINTER(LPVOID))(info, ctypes.byref(p)),
           "ITypeInfo.GetTypeAttr")
    attr = _TypeAttr.from_buffer_copy(ctypes.string_at(p.value, ctypes.sizeof(_TypeAttr)))
    _method(info, 19, None, LPVOID)(info, p)
    return attr


def _documentation(info, memid):
    name = LPVOID()
    _check(_method(info, 12, HRESULT, ctypes.c_int32, ctypes.POINTER(LPVOID), LPVOID, LPVOID, LPVOID)(
        info, memid, ctypes.byref(name), None, None, None), "ITypeInfo.GetDocumentation")
    try:
        return _bstr_to_str(name.value)
    finally:
        _SysFreeString(name.value)


class _Member:
    __slots__ = ("dispid", "kinds", "params")

    def __init__(self, dispid):
        self.dispid = dispid
        self.kinds = set()
        self.params = 0


def _members_of(info):
    """name (lower case) -> _Member, from the FUNCDESCs of a dispatch type info."""
    members = {}
    attr = _type_attr(info)
    for i in range(attr.cFuncs):
        p = LPVOID()
        if _method(info, 5, HRESULT, ctypes.c_uint32, ctypes.POINTER(LPVOID))(info, i, ctypes.byref(p)) < 0:
            continue
        fd = _FuncDesc.from_address(p.value)
        name = _documentation(info, fd.memid)
        m = members.setdefault(name.lower(), _Member(fd.memid))
        m.kinds.add(fd.invkind)
        if fd.invkind != INVOKE_PROPERTYPUT:
            m.params = max(m.params, fd.cParams)
        _method(info, 20, None, LPVOID)(info, p)
    return members


_member_cache = {}


def _describe(ptr):
    """Members of the object's dispatch interface and, once per library, its constants."""
    info = LPVOID()
    if _method(ptr, 4, HRESULT, ctypes.c_uint32, ctypes.c_uint32, ctypes.POINTER(LPVOID))(
            ptr, 0, 0, ctypes.byref(info)) < 0 or not info.value:
        return None
    try:
        key = str(_type_attr(info.value).guid)
        table = _member_cache.get(key)
        if table is None:
            table = _members_of(info.value)
            _member_cache[key] = table
            lib = LPVOID()
            index = ctypes.c_uint32()
            if _method(info.value, 18, HRESULT, ctypes.POINTER(LPVOID), ctypes.POINTER(ctypes.c_uint32))(
                    info.value, ctypes.byref(lib), ctypes.byref(index)) >= 0 and lib.value:
                try:
                    constants._load(lib.value)
                finally:
                    _release(lib.value)
        return table
    finally:
        _release(info.value)


# ---- Objects -----------------------------------------------------------------------------

def _wrap_object(ptr):
    """A Python object for an interface pointer read from a VARIANT (a new reference is taken)."""
    if not ptr:
        return None
    hr, disp = _query_interface(ptr, IID_IDispatch)
    if hr >= 0 and disp:
        return Dispatch(_pointer=disp)
    _add_ref(ptr)
    return Unknown(ptr)


class Unknown:
    """An object without IDispatch (an enumerator, for instance); iterable if it enumerates."""

    def __init__(self, ptr):
        self._ptr = ptr

    def __del__(self):
        ptr, self._ptr = getattr(self, "_ptr", None), None
        if ptr:
            _release(ptr)

    def __iter__(self):
        hr, enum = _query_interface(self._ptr, IID_IEnumVARIANT)
        if hr < 0:
            raise TypeError("object does not enumerate")
        return _Enumerator(enum)


class _Enumerator:
    def __init__(self, ptr):
        self._ptr = ptr

    def __del__(self):
        ptr, self._ptr = getattr(self, "_ptr", None), None
        if ptr:
            _release(ptr)

    def __iter__(self):
        return self

    def __next__(self):
        if not self._ptr:
            raise StopIteration
        item = VARIANT()
        fetched = ULONG()
        hr = _method(self._ptr, 3, HRESULT, ULONG, ctypes.POINTER(VARIANT), ctypes.POINTER(ULONG))(
            self._ptr, 1, ctypes.byref(item), ctypes.byref(fetched))
        _check(hr, "IEnumVARIANT.Next")
        if fetched.value == 0:
            _release(self._ptr)
            self._ptr = None
            raise StopIteration
        try:
            return from_variant(item)
        finally:
            _VariantClear(ctypes.byref(item))


class _BoundMember:
    def __init__(self, owner, name, dispid):
        self._owner, self._name, self._dispid = owner, name, dispid

    def __call__(self, *args):
        return self._owner._invoke(self._dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args,
                                   self._name)

    def __repr__(self):
        return "<member %s of %r>" % (self._name, self._owner)


class Dispatch:
    """An object driven through IDispatch, created from a ProgID or CLSID text."""

    def __init__(self, progid=None, _pointer=None):
        object.__setattr__(self, "_ptr", None)
        if _pointer is None:
            _ensure_initialized()
            clsid = GUID()
            data = (progid + "\0").encode("utf-16-le")
            buf = ctypes.create_string_buffer(data, len(data))
            _check(_CLSIDFromString(ctypes.addressof(buf), ctypes.byref(clsid)),
                   "CLSIDFromString(%s)" % progid)
            out = LPVOID()
            _check(_CoCreateInstance(ctypes.byref(clsid), None, CLSCTX_INPROC_SERVER,
                                     ctypes.byref(IID_IDispatch), ctypes.byref(out)),
                   "CoCreateInstance(%s)" % progid)
            _pointer = out.value
        object.__setattr__(self, "_ptr", _pointer)
        object.__setattr__(self, "_members", _describe(_pointer) or {})

    def __del__(self):
        ptr = getattr(self, "_ptr", None)
        if ptr:
            object.__setattr__(self, "_ptr", None)
            _release(ptr)

    def __repr__(self):
        return "<vantorcom.Dispatch at 0x%x>" % (self._ptr or 0)

    def _dispid(self, name):
        m = self._members.get(name.lower())
        if m is not None:
            return m.dispid, m
        data = (name + "\0").encode("utf-16-le")
        buf = ctypes.create_string_buffer(data, len(data))
        names = (LPVOID * 1)(ctypes.addressof(buf))
        dispid = DISPID()
        hr = _method(self._ptr, 5, HRESULT, ctypes.POINTER(GUID), ctypes.POINTER(LPVOID),
                     ctypes.c_uint32, ctypes.c_uint32, ctypes.POINTER(DISPID))(
            self._ptr, ctypes.byref(IID_NULL), names, 1, 0, ctypes.byref(dispid))
        if hr < 0:
            raise AttributeError("%s (HRESULT 0x%08X)" % (name, hr & 0xFFFFFFFF))
        return dispid.value, None

    def _invoke(self, dispid, flags, args, name="", put=False):
        n = len(args)
        argv = (VARIANT * max(n, 1))()
        made = []
        try:
            # Arguments go in reverse order.
            for i, a in enumerate(args):
                to_variant(a, argv[n - 1 - i])
                made.append(n - 1 - i)
            named = (DISPID * 1)(DISPID_PROPERTYPUT)
            params = DISPPARAMS(argv, named if put else None, n, 1 if put else 0)
            result = VARIANT()
            excep = EXCEPINFO()
            arg_err = ctypes.c_uint32()
            hr = _method(self._ptr, 6, HRESULT, DISPID, ctypes.POINTER(GUID), ctypes.c_uint32,
                         ctypes.c_ushort, ctypes.POINTER(DISPPARAMS), ctypes.POINTER(VARIANT),
                         ctypes.POINTER(EXCEPINFO), ctypes.POINTER(ctypes.c_uint32))(
                self._ptr, dispid, ctypes.byref(IID_NULL), 0, flags, ctypes.byref(params),
                None if put else ctypes.byref(result), ctypes.byref(excep), ctypes.byref(arg_err))
            if hr == DISP_E_EXCEPTION:
                for b in (excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile):
                    _SysFreeString(b)
                raise ComError(excep.scode or hr, name or "Invoke(%d)" % dispid)
            _check(hr, name or "Invoke(%d)" % dispid)
            try:
                return from_variant(result)
            finally:
                _VariantClear(ctypes.byref(result))
        finally:
            for i in made:
                _VariantClear(ctypes.byref(argv[i]))

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        dispid, member = self._dispid(name)
        # Methods and indexed properties come back callable; plain properties are read now.
        if member is not None and (INVOKE_FUNC in member.kinds or member.params > 0):
            return _BoundMember(self, name, dispid)
        if member is not None and INVOKE_PROPERTYGET not in member.kinds:
            raise AttributeError("%s is write-only" % name)
        return self._invoke(dispid, DISPATCH_PROPERTYGET | DISPATCH_METHOD, (), name)

    def __setattr__(self, name, value):
        dispid, _ = self._dispid(name)
        self._invoke(dispid, DISPATCH_PROPERTYPUT, (value,), name, put=True)

    def __call__(self, *args):
        return self._invoke(DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, "default member")

    def __getitem__(self, index):
        args = index if isinstance(index, tuple) else (index,)
        return self._invoke(DISPID_VALUE, DISPATCH_PROPERTYGET | DISPATCH_METHOD, args, "Item")

    def __iter__(self):
        unknown = self._invoke(DISPID_NEWENUM, DISPATCH_PROPERTYGET | DISPATCH_METHOD, (), "_NewEnum")
        if isinstance(unknown, Dispatch):
            raise TypeError("_NewEnum did not return an enumerator")
        return iter(unknown)

    def __len__(self):
        return self.Count

    def __bool__(self):
        return True
