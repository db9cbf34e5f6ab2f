// OLE Automation calls: BSTR, VARIANT, SAFEARRAY, VariantChangeType(Ex), dates, type libraries.
#pragma once

#include "win/minwinbase.h"
#include "win/oaidl.h"

// BSTR: UTF-16 text with a 32-bit byte-length prefix and a NUL after it. Allocation fails
// (null) for lengths that do not fit the prefix.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT chars);
BSTR SysAllocStringByteLen(LPCSTR bytes, UINT size);
INT SysReAllocString(BSTR* target, const OLECHAR* text);
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT chars);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// VariantChangeType(Ex) flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10
#define VARIANT_CALENDAR_THAI 0x20
#define VARIANT_CALENDAR_GREGORIAN 0x40
#define VARIANT_USE_NLS 0x80

// Flags of the Var*From* text conversions.
#define VAR_TIMEVALUEONLY 0x00000001u
#define VAR_DATEVALUEONLY 0x00000002u
#define VAR_LOCALBOOL 0x00000010u

void VariantInit(VARIANTARG* v);
HRESULT VariantClear(VARIANTARG* v);
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source);
HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* source);
// Converts between the types of the documented subset: VT_EMPTY, VT_NULL, the integers (VT_I1
// to VT_UI8, VT_INT, VT_UINT), VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL, VT_ERROR (to
// itself), VT_UNKNOWN/VT_DISPATCH (by QueryInterface, or by their value property) and arrays
// (to the same type; VT_ARRAY|VT_UI1 to and from VT_BSTR). Text is read and written as US
// English. Anything else gives DISP_E_TYPEMISMATCH or DISP_E_BADVARTYPE.
HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* source, LCID lcid, USHORT flags,
                            VARTYPE vt);

// Dates: days since 1899-12-30, the fraction the time of day (for negative dates the fraction
// still counts forward from midnight). Valid from year 100 to year 9999.
INT SystemTimeToVariantTime(LPSYSTEMTIME systemTime, DOUBLE* variantTime);
INT VariantTimeToSystemTime(DOUBLE variantTime, LPSYSTEMTIME systemTime);
HRESULT VarDateFromStr(LPCOLESTR text, LCID lcid, ULONG flags, DATE* result);
HRESULT VarBstrFromDate(DATE date, LCID lcid, ULONG flags, BSTR* result);
HRESULT VarBstrFromI4(LONG value, LCID lcid, ULONG flags, BSTR* result);
HRESULT VarBstrFromBool(VARIANT_BOOL value, LCID lcid, ULONG flags, BSTR* result);
HRESULT VarI4FromStr(LPCOLESTR text, LCID lcid, ULONG flags, LONG* result);
HRESULT VarUI4FromStr(LPCOLESTR text, LCID lcid, ULONG flags, ULONG* result);
HRESULT VarR8FromStr(LPCOLESTR text, LCID lcid, ULONG flags, DOUBLE* result);
HRESULT VarBoolFromStr(LPCOLESTR text, LCID lcid, ULONG flags, VARIANT_BOOL* result);

// SAFEARRAY.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateEx(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds, PVOID extra);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
HRESULT SafeArrayAllocDescriptor(UINT dims, SAFEARRAY** result);
HRESULT SafeArrayAllocDescriptorEx(VARTYPE vt, UINT dims, SAFEARRAY** result);
HRESULT SafeArrayAllocData(SAFEARRAY* array);
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayDestroyData(SAFEARRAY* array);
HRESULT SafeArrayDestroyDescriptor(SAFEARRAY* array);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
// Not a Windows call: the storage size of one array element of type vt (0 for a type an array
// cannot hold), so callers can check a descriptor against its element type.
ULONG VantorVarTypeElementSize(VARTYPE vt);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lowerBound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upperBound);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
HRESULT SafeArrayGetIID(SAFEARRAY* array, GUID* iid);
HRESULT SafeArraySetIID(SAFEARRAY* array, REFGUID iid);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
// indices[0] is the index in dimension 1 (the dimension that varies fastest in memory).
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, LONG* indices, void** element);
HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* element);
HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* element);
HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy);
HRESULT SafeArrayRedim(SAFEARRAY* array, SAFEARRAYBOUND* newBound);

// BSTR <-> VT_UI1 vector, as VariantChangeType uses for VT_ARRAY|VT_UI1.
HRESULT VectorFromBstr(BSTR text, SAFEARRAY** result);
HRESULT BstrFromVector(SAFEARRAY* array, BSTR* result);

// Type libraries: registration under HKEY_CLASSES_ROOT\TypeLib and \Interface.
HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR fullPath, LPCOLESTR helpDir);
HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind);

// Error objects: the suite never sets one, so GetErrorInfo always reports none.
struct IErrorInfo;
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);
