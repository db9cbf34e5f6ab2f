// SAFEARRAY descriptors and data: n dimensions, lower bounds, element types, locks, copies.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "win/oleauto.h"

namespace {

// Every descriptor we allocate has 16 hidden bytes before it for an IID or a VARTYPE.
constexpr size_t kHidden = 16;

ULONG elementSizeOf(VARTYPE vt) {
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
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            return 8;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        default:
            return 0;
    }
}

BYTE* hiddenOf(SAFEARRAY* psa) {
    return reinterpret_cast<BYTE*>(psa) - kHidden;
}

// Total element count, or false when it overflows what memory can hold.
bool cellCount(const SAFEARRAY* psa, size_t& count) {
    count = 1;
    for (USHORT d = 0; d < psa->cDims; ++d) {
        size_t n = psa->rgsabound[d].cElements;
        if (n != 0 && count > std::numeric_limits<size_t>::max() / n) {
            return false;
        }
        count *= n;
    }
    return true;
}

bool dataSize(const SAFEARRAY* psa, size_t& bytes) {
    size_t count = 0;
    if (!cellCount(psa, count)) {
        return false;
    }
    if (psa->cbElements != 0 &&
        count > (std::numeric_limits<size_t>::max() / 2) / psa->cbElements) {
        return false;
    }
    bytes = count * psa->cbElements;
    return true;
}

void setFeatures(SAFEARRAY* psa, VARTYPE vt) {
    psa->fFeatures &= ~(FADF_HAVEIID | FADF_HAVEVARTYPE | FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH |
                        FADF_VARIANT | FADF_RECORD);
    switch (vt) {
        case VT_BSTR:
            psa->fFeatures |= FADF_BSTR;
            break;
        case VT_VARIANT:
            psa->fFeatures |= FADF_VARIANT;
            break;
        case VT_UNKNOWN:
            psa->fFeatures |= FADF_UNKNOWN | FADF_HAVEIID;
            std::memcpy(hiddenOf(psa), &IID_IUnknown, sizeof(GUID));
            return;
        case VT_DISPATCH:
            psa->fFeatures |= FADF_DISPATCH | FADF_HAVEIID;
            std::memcpy(hiddenOf(psa), &IID_IDispatch, sizeof(GUID));
            return;
        default:
            break;
    }
    psa->fFeatures |= FADF_HAVEVARTYPE;
    DWORD tag = vt;
    std::memcpy(hiddenOf(psa) + kHidden - sizeof(DWORD), &tag, sizeof(DWORD));
}

// Whether the cell size fits what the flags say the cells own (checked in the order the cell
// helpers below test the flags): a hand-built descriptor whose flags disagree with its cell size
// would have every copy or release read past its cells.
bool cellsMatchFlags(const SAFEARRAY* psa) {
    if (psa->fFeatures & FADF_BSTR) {
        return psa->cbElements == sizeof(BSTR);
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        return psa->cbElements == sizeof(IUnknown*);
    }
    if (psa->fFeatures & FADF_VARIANT) {
        return psa->cbElements == sizeof(VARIANT);
    }
    return true;
}

// Releases what the cells own (strings, references, variants) without freeing the block.
void releaseCells(SAFEARRAY* psa, BYTE* from, size_t cells) {
    if (from == nullptr || !cellsMatchFlags(psa)) {
        return;  // cells of a size the flags disagree with own nothing we could read safely
    }
    const bool owning =
        (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT)) != 0;
    for (size_t i = 0; owning && i < cells; ++i) {
        BYTE* cell = from + i * psa->cbElements;
        if (psa->fFeatures & FADF_BSTR) {
            BSTR s = nullptr;
            std::memcpy(&s, cell, sizeof(s));
            SysFreeString(s);
        } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            IUnknown* u = nullptr;
            std::memcpy(&u, cell, sizeof(u));
            if (u != nullptr) {
                u->Release();
            }
        } else if (psa->fFeatures & FADF_VARIANT) {
            VariantClear(reinterpret_cast<VARIANT*>(cell));
        }
    }
    std::memset(from, 0, cells * psa->cbElements);
}

bool ownsData(const SAFEARRAY* psa) {
    return (psa->fFeatures & (FADF_STATIC | FADF_AUTO | FADF_EMBEDDED)) == 0;
}

SAFEARRAY* create(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
    if (bounds == nullptr || dims == 0 || elementSizeOf(vt) == 0) {
        return nullptr;
    }
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptorEx(vt, dims, &psa))) {
        return nullptr;
    }
    // Callers list dimension 1 first; the descriptor stores it last.
    for (UINT d = 0; d < dims; ++d) {
        psa->rgsabound[dims - 1 - d] = bounds[d];
    }
    if (FAILED(SafeArrayAllocData(psa))) {
        SafeArrayDestroyDescriptor(psa);
        return nullptr;
    }
    return psa;
}

HRESULT copyCell(SAFEARRAY* psa, const BYTE* from, BYTE* to) {
    if (!cellsMatchFlags(psa)) {
        return E_INVALIDARG;
    }
    if (psa->fFeatures & FADF_BSTR) {
        BSTR s = nullptr;
        std::memcpy(&s, from, sizeof(s));
        BSTR c = nullptr;
        if (s != nullptr) {
            c = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s));
            if (c == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        std::memcpy(to, &c, sizeof(c));
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* u = nullptr;
        std::memcpy(&u, from, sizeof(u));
        if (u != nullptr) {
            u->AddRef();
        }
        std::memcpy(to, &u, sizeof(u));
    } else if (psa->fFeatures & FADF_VARIANT) {
        auto* v = reinterpret_cast<VARIANT*>(to);
        VariantInit(v);
        return VariantCopy(v, reinterpret_cast<const VARIANT*>(from));
    } else {
        std::memcpy(to, from, psa->cbElements);
    }
    return S_OK;
}

}  // namespace

HRESULT SafeArrayAllocDescriptor(UINT dims, SAFEARRAY** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    if (dims == 0 || dims > 0xFFFF) {
        return E_INVALIDARG;
    }
    size_t size = kHidden + sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<BYTE*>(std::calloc(1, size));
    if (block == nullptr) {
        return E_OUTOFMEMORY;
    }
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHidden);
    psa->cDims = static_cast<USHORT>(dims);
    *result = psa;
    return S_OK;
}

HRESULT SafeArrayAllocDescriptorEx(VARTYPE vt, UINT dims, SAFEARRAY** result) {
    ULONG size = elementSizeOf(vt);
    if (size == 0) {
        return E_INVALIDARG;
    }
    HRESULT hr = SafeArrayAllocDescriptor(dims, result);
    if (FAILED(hr)) {
        return hr;
    }
    (*result)->cbElements = size;
    setFeatures(*result, vt);
    return S_OK;
}

HRESULT SafeArrayAllocData(SAFEARRAY* psa) {
    if (psa == nullptr || psa->cbElements == 0) {
        return E_INVALIDARG;
    }
    size_t bytes = 0;
    if (!dataSize(psa, bytes)) {
        return E_OUTOFMEMORY;
    }
    void* data = std::calloc(bytes > 0 ? bytes : 1, 1);
    if (data == nullptr) {
        return E_OUTOFMEMORY;
    }
    psa->pvData = data;
    return S_OK;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds) {
    return create(vt, dims, bounds);
}

SAFEARRAY* SafeArrayCreateEx(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds, PVOID extra) {
    SAFEARRAY* psa = create(vt, dims, bounds);
    if (psa != nullptr && extra != nullptr && (vt == VT_UNKNOWN || vt == VT_DISPATCH)) {
        std::memcpy(hiddenOf(psa), extra, sizeof(GUID));
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
    SAFEARRAYBOUND bound{elements, lowerBound};
    return create(vt, 1, &bound);
}

HRESULT SafeArrayDestroyData(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return S_OK;
    }
    if (psa->cLocks > 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    size_t cells = 0;
    if (psa->pvData != nullptr && cellCount(psa, cells)) {
        releaseCells(psa, static_cast<BYTE*>(psa->pvData), cells);
    }
    if (ownsData(psa)) {
        std::free(psa->pvData);
        psa->pvData = nullptr;
    }
    return S_OK;
}

HRESULT SafeArrayDestroyDescriptor(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return S_OK;
    }
    if (psa->cLocks > 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    if (ownsData(psa)) {
        std::free(hiddenOf(psa));
    }
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return S_OK;
    }
    if (psa->cLocks > 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    HRESULT hr = SafeArrayDestroyData(psa);
    if (FAILED(hr)) {
        return hr;
    }
    return SafeArrayDestroyDescriptor(psa);
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* lowerBound) {
    if (psa == nullptr || lowerBound == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    *lowerBound = psa->rgsabound[psa->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* upperBound) {
    if (psa == nullptr || upperBound == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - dim];
    // An empty dimension has upper bound lLbound - 1, as on Windows; computed wide and taken
    // modulo 2^32 like the Windows result, so an empty dimension at the smallest lower bound
    // reports the largest LONG. Counts must therefore come from cElements, never from
    // upper - lower + 1.
    *upperBound =
        static_cast<LONG>(static_cast<ULONG>(static_cast<LONGLONG>(b.lLbound) + b.cElements - 1));
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt) {
    if (psa == nullptr || vt == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->fFeatures & FADF_RECORD) {
        *vt = VT_RECORD;
    } else if ((psa->fFeatures & (FADF_HAVEIID | FADF_DISPATCH)) ==
               (FADF_HAVEIID | FADF_DISPATCH)) {
        *vt = VT_DISPATCH;
    } else if (psa->fFeatures & FADF_HAVEIID) {
        *vt = VT_UNKNOWN;
    } else if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD tag = 0;
        std::memcpy(&tag, hiddenOf(psa) + kHidden - sizeof(DWORD), sizeof(DWORD));
        *vt = static_cast<VARTYPE>(tag);
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayGetIID(SAFEARRAY* psa, GUID* iid) {
    if (psa == nullptr || iid == nullptr || !(psa->fFeatures & FADF_HAVEIID)) {
        return E_INVALIDARG;
    }
    std::memcpy(iid, hiddenOf(psa), sizeof(GUID));
    return S_OK;
}

HRESULT SafeArraySetIID(SAFEARRAY* psa, REFGUID iid) {
    if (psa == nullptr || !(psa->fFeatures & FADF_HAVEIID)) {
        return E_INVALIDARG;
    }
    std::memcpy(hiddenOf(psa), &iid, sizeof(GUID));
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->cLocks >= 0xFFFF) {
        return E_UNEXPECTED;
    }
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->cLocks == 0) {
        return E_UNEXPECTED;
    }
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data) {
    if (psa == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    HRESULT hr = SafeArrayLock(psa);
    *data = SUCCEEDED(hr) ? psa->pvData : nullptr;
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* indices, void** element) {
    if (psa == nullptr || indices == nullptr || element == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->pvData == nullptr) {
        return E_INVALIDARG;
    }
    // indices[0] belongs to dimension 1, stored last in rgsabound and varying fastest.
    size_t cell = 0;
    size_t stride = 1;
    for (USHORT d = 0; d < psa->cDims; ++d) {
        const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - d];
        LONGLONG offset = static_cast<LONGLONG>(indices[d]) - b.lLbound;
        if (offset < 0 || offset >= static_cast<LONGLONG>(b.cElements)) {
            return DISP_E_BADINDEX;
        }
        cell += static_cast<size_t>(offset) * stride;
        // A hand-built descriptor may claim more cells than memory holds; refuse rather than
        // wrap to an address inside the block that is not the cell asked for.
        if (b.cElements != 0 && stride > std::numeric_limits<size_t>::max() / b.cElements) {
            return DISP_E_BADINDEX;
        }
        stride *= b.cElements;
    }
    *element = static_cast<BYTE*>(psa->pvData) + cell * psa->cbElements;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* indices, void* element) {
    if (element == nullptr) {
        return E_INVALIDARG;
    }
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, indices, &cell);
    if (FAILED(hr)) {
        return hr;
    }
    return copyCell(psa, static_cast<BYTE*>(cell), static_cast<BYTE*>(element));
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* element) {
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, indices, &cell);
    if (FAILED(hr)) {
        return hr;
    }
    auto* to = static_cast<BYTE*>(cell);
    if (!cellsMatchFlags(psa)) {
        return E_INVALIDARG;
    }
    // Strings and interface pointers are passed as the value itself, everything else by address.
    if (psa->fFeatures & FADF_BSTR) {
        auto s = static_cast<BSTR>(element);
        BSTR c = nullptr;
        if (s != nullptr) {
            c = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s));
            if (c == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        releaseCells(psa, to, 1);
        std::memcpy(to, &c, sizeof(c));
        return S_OK;
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* u = static_cast<IUnknown*>(element);
        if (u != nullptr) {
            u->AddRef();
        }
        releaseCells(psa, to, 1);
        std::memcpy(to, &u, sizeof(u));
        return S_OK;
    }
    if (element == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->fFeatures & FADF_VARIANT) {
        return VariantCopy(reinterpret_cast<VARIANT*>(to), static_cast<const VARIANT*>(element));
    }
    std::memcpy(to, element, psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy) {
    if (copy == nullptr) {
        return E_INVALIDARG;
    }
    *copy = nullptr;
    if (source == nullptr) {
        return S_OK;
    }
    if (!cellsMatchFlags(source)) {
        return E_INVALIDARG;
    }
    SAFEARRAY* psa = nullptr;
    HRESULT hr = SafeArrayAllocDescriptor(source->cDims, &psa);
    if (FAILED(hr)) {
        return hr;
    }
    std::memcpy(hiddenOf(psa), hiddenOf(source), kHidden);
    psa->fFeatures = source->fFeatures & ~(FADF_STATIC | FADF_AUTO | FADF_EMBEDDED);
    psa->cbElements = source->cbElements;
    std::memcpy(psa->rgsabound, source->rgsabound, source->cDims * sizeof(SAFEARRAYBOUND));
    if (source->pvData != nullptr) {
        hr = SafeArrayAllocData(psa);
        size_t cells = 0;
        cellCount(psa, cells);
        for (size_t i = 0; SUCCEEDED(hr) && i < cells; ++i) {
            hr = copyCell(psa, static_cast<BYTE*>(source->pvData) + i * psa->cbElements,
                          static_cast<BYTE*>(psa->pvData) + i * psa->cbElements);
        }
        if (FAILED(hr)) {
            SafeArrayDestroy(psa);
            return hr;
        }
    }
    *copy = psa;
    return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* newBound) {
    if (psa == nullptr || newBound == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->cLocks > 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    if (psa->fFeatures & FADF_FIXEDSIZE) {
        return E_INVALIDARG;
    }
    // Only the last dimension changes; it varies slowest, so its cells are one tail of the block.
    size_t oldBytes = 0;
    dataSize(psa, oldBytes);
    SAFEARRAYBOUND old = psa->rgsabound[0];
    psa->rgsabound[0] = *newBound;
    size_t newBytes = 0;
    if (!dataSize(psa, newBytes)) {
        psa->rgsabound[0] = old;
        return E_OUTOFMEMORY;
    }
    auto* data = static_cast<BYTE*>(psa->pvData);
    if (newBytes < oldBytes) {
        releaseCells(psa, data + newBytes, (oldBytes - newBytes) / psa->cbElements);
    }
    auto* grown = static_cast<BYTE*>(std::realloc(data, newBytes > 0 ? newBytes : 1));
    if (grown == nullptr) {
        psa->rgsabound[0] = old;
        return E_OUTOFMEMORY;
    }
    if (newBytes > oldBytes) {
        std::memset(grown + oldBytes, 0, newBytes - oldBytes);
    }
    psa->pvData = grown;
    return S_OK;
}

HRESULT VectorFromBstr(BSTR text, SAFEARRAY** result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    UINT bytes = SysStringByteLen(text);
    *result = SafeArrayCreateVector(VT_UI1, 0, bytes);
    if (*result == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (bytes > 0) {
        std::memcpy((*result)->pvData, text, bytes);
    }
    return S_OK;
}

HRESULT BstrFromVector(SAFEARRAY* psa, BSTR* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = nullptr;
    VARTYPE vt = VT_EMPTY;
    if (psa == nullptr || psa->cDims != 1 || FAILED(SafeArrayGetVartype(psa, &vt)) ||
        vt != VT_UI1 || psa->cbElements != 1 ||
        (psa->pvData == nullptr && psa->rgsabound[0].cElements != 0)) {
        return E_INVALIDARG;  // the cells are read as one block of cElements bytes
    }
    *result = SysAllocStringByteLen(static_cast<LPCSTR>(psa->pvData), psa->rgsabound[0].cElements);
    return *result ? S_OK : E_OUTOFMEMORY;
}

ULONG VantorVarTypeElementSize(VARTYPE vt) {
    return elementSizeOf(vt);
}
