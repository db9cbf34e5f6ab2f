// The array-to-bytes conversion: any one-dimensional SAFEARRAY whose elements convert to VT_UI1
// becomes a byte string; and the byte-array VARIANT the library hands back.
#include "convert/array_bytes.h"

#include <cstring>
#include <limits>

namespace pavlox {

namespace {

// The one-dimensional array value carries, or null.
SAFEARRAY* vectorOf(const VARIANT& value) {
    SAFEARRAY* array = carriedArray(value);
    if (array == nullptr || array->cDims != 1) {
        return nullptr;
    }
    return array;
}

}  // namespace

SAFEARRAY* carriedArray(const VARIANT& value) {
    const VARIANT* v = &value;
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
        v = v->pvarVal;  // one level only: a reference to a reference is not an array
        if (v == nullptr) {
            return nullptr;
        }
    }
    if ((v->vt & VT_ARRAY) == 0) {
        return nullptr;
    }
    if (v->vt & VT_BYREF) {
        return v->pparray != nullptr ? *v->pparray : nullptr;
    }
    return v->parray;
}

VARTYPE arrayElementType(const SAFEARRAY& array) {
    if (array.fFeatures & (FADF_HAVEVARTYPE | FADF_HAVEIID | FADF_RECORD)) {
        VARTYPE vt = VT_EMPTY;
        if (SUCCEEDED(SafeArrayGetVartype(const_cast<SAFEARRAY*>(&array), &vt))) {
            return vt;
        }
    }
    if (array.fFeatures & FADF_BSTR) {
        return VT_BSTR;
    }
    if (array.fFeatures & FADF_UNKNOWN) {
        return VT_UNKNOWN;
    }
    if (array.fFeatures & FADF_DISPATCH) {
        return VT_DISPATCH;
    }
    if (array.fFeatures & FADF_VARIANT) {
        return VT_VARIANT;
    }
    return VT_UI1;
}

bool elementSizeMatches(const SAFEARRAY& array, VARTYPE elementType) {
    // Decimals are never read as bytes (the platform's conversions do not know them).
    size_t size = elementType == VT_DECIMAL ? 0 : VantorVarTypeElementSize(elementType);
    return size != 0 && array.cbElements == size;
}

bool arrayByteCount(const VARIANT& value, size_t* count) {
    SAFEARRAY* array = vectorOf(value);
    if (array == nullptr || count == nullptr) {
        return false;
    }
    // The count is the descriptor's stored element count, never upper - lower + 1: an empty
    // array whose lower bound is the smallest LONG has an upper bound that wraps to the largest,
    // and the difference of the two would claim 2^32 elements.
    *count = array->rgsabound[0].cElements;
    return true;
}

bool arrayBytesFill(const VARIANT& value, BYTE* buffer, size_t bufferSize) {
    size_t n = 0;
    if (!arrayByteCount(value, &n) || bufferSize < n || (n > 0 && buffer == nullptr)) {
        return false;
    }
    SAFEARRAY* array = vectorOf(value);
    VARTYPE vt = arrayElementType(*array);
    if (!elementSizeMatches(*array, vt)) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    ArrayLock lock(array);
    if (!lock.locked() || array->pvData == nullptr) {
        return false;
    }
    const BYTE* data = static_cast<const BYTE*>(array->pvData);
    if (vt == VT_UI1) {
        std::memcpy(buffer, data, n);  // the common case: bytes already
        return true;
    }
    for (size_t k = 0; k < n; ++k) {
        const BYTE* element = data + k * array->cbElements;
        // The element is borrowed, never owned: the conversion copies what it reads.
        VARIANT borrowed;
        VariantInit(&borrowed);
        const VARIANT* source = reinterpret_cast<const VARIANT*>(element);
        if (vt != VT_VARIANT) {
            borrowed.vt = vt;
            std::memcpy(&borrowed.llVal, element, array->cbElements);
            source = &borrowed;
        }
        VARIANT byte;
        VariantInit(&byte);
        if (FAILED(VariantChangeType(&byte, source, 0, VT_UI1))) {
            return false;
        }
        buffer[k] = byte.bVal;
    }
    return true;
}

bool arrayToBytes(const VARIANT& value, SecureBytes& bytes) {
    bytes.wipe();
    size_t n = 0;
    if (!arrayByteCount(value, &n)) {
        return false;
    }
    try {
        bytes.resize(n);
    } catch (...) {
        return false;
    }
    if (!arrayBytesFill(value, bytes.data(), bytes.size())) {
        bytes.wipe();
        return false;
    }
    return true;
}

HRESULT byteArrayVariant(const BYTE* data, size_t size, VARIANT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    VariantInit(result);
    if (size > std::numeric_limits<ULONG>::max() || (size > 0 && data == nullptr)) {
        return E_INVALIDARG;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    if (array == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (size > 0) {
        void* target = nullptr;
        if (FAILED(SafeArrayAccessData(array, &target))) {
            SafeArrayDestroy(array);
            return E_OUTOFMEMORY;
        }
        std::memcpy(target, data, size);
        SafeArrayUnaccessData(array);
    }
    result->vt = VT_ARRAY | VT_UI1;
    result->parray = array;
    return S_OK;
}

}  // namespace pavlox
