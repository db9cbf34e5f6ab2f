// vantorauto.so: the COM and OLE Automation calls of the platform layer with C linkage, for
// late-bound clients written in other languages (the Python client loads it with ctypes).
#include "win/objbase.h"
#include "win/oleauto.h"

#define VAUTO extern "C" __attribute__((visibility("default")))

VAUTO HRESULT vauto_CoInitialize() {
    return CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}
VAUTO void vauto_CoUninitialize() {
    CoUninitialize();
}
VAUTO void vauto_CoFreeUnusedLibraries() {
    CoFreeUnusedLibraries();
}
VAUTO HRESULT vauto_CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
    return CLSIDFromProgID(progId, clsid);
}
VAUTO HRESULT vauto_CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
    return CLSIDFromString(text, clsid);
}
VAUTO INT vauto_StringFromGUID2(const GUID* guid, LPOLESTR buffer, INT chars) {
    return guid ? StringFromGUID2(*guid, buffer, chars) : 0;
}
VAUTO HRESULT vauto_CoCreateInstance(const CLSID* clsid, IUnknown* outer, DWORD context,
                                     const IID* iid, void** object) {
    if (clsid == nullptr || iid == nullptr) {
        return E_INVALIDARG;
    }
    return CoCreateInstance(*clsid, outer, context, *iid, object);
}

VAUTO BSTR vauto_SysAllocStringLen(const OLECHAR* text, UINT chars) {
    return SysAllocStringLen(text, chars);
}
VAUTO void vauto_SysFreeString(BSTR text) {
    SysFreeString(text);
}
VAUTO UINT vauto_SysStringLen(BSTR text) {
    return SysStringLen(text);
}

VAUTO void vauto_VariantInit(VARIANT* v) {
    VariantInit(v);
}
VAUTO HRESULT vauto_VariantClear(VARIANT* v) {
    return VariantClear(v);
}
VAUTO HRESULT vauto_VariantCopy(VARIANT* dest, const VARIANT* source) {
    return VariantCopy(dest, source);
}
VAUTO HRESULT vauto_VariantChangeType(VARIANT* dest, const VARIANT* source, USHORT flags,
                                      VARTYPE vt) {
    return VariantChangeType(dest, source, flags, vt);
}
VAUTO INT vauto_SystemTimeToVariantTime(SYSTEMTIME* st, DOUBLE* date) {
    return SystemTimeToVariantTime(st, date);
}
VAUTO INT vauto_VariantTimeToSystemTime(DOUBLE date, SYSTEMTIME* st) {
    return VariantTimeToSystemTime(date, st);
}

VAUTO SAFEARRAY* vauto_SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds) {
    return SafeArrayCreate(vt, dims, bounds);
}
VAUTO HRESULT vauto_SafeArrayDestroy(SAFEARRAY* psa) {
    return SafeArrayDestroy(psa);
}
VAUTO UINT vauto_SafeArrayGetDim(SAFEARRAY* psa) {
    return SafeArrayGetDim(psa);
}
VAUTO HRESULT vauto_SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* bound) {
    return SafeArrayGetLBound(psa, dim, bound);
}
VAUTO HRESULT vauto_SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* bound) {
    return SafeArrayGetUBound(psa, dim, bound);
}
VAUTO HRESULT vauto_SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt) {
    return SafeArrayGetVartype(psa, vt);
}
VAUTO UINT vauto_SafeArrayGetElemsize(SAFEARRAY* psa) {
    return SafeArrayGetElemsize(psa);
}
VAUTO HRESULT vauto_SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* indices, void** element) {
    return SafeArrayPtrOfIndex(psa, indices, element);
}
VAUTO HRESULT vauto_SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* element) {
    return SafeArrayPutElement(psa, indices, element);
}
