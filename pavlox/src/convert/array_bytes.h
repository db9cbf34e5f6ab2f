// The array-to-bytes conversion and the byte-array VARIANT form (VT_ARRAY | VT_UI1, lower bound 0)
// in which byte strings cross the automation interfaces.
#pragma once

#include <cstddef>

#include "convert/secure_bytes.h"
#include "win/oleauto.h"

namespace pavlox {

// The array a VARIANT carries: the value's own array, the array behind a by-reference array
// (VT_BYREF | VT_ARRAY | t), or the array held, by value or by reference, in the VARIANT that a
// VT_BYREF | VT_VARIANT value refers to. Null when there is none.
SAFEARRAY* carriedArray(const VARIANT& value);

// The element type the descriptor declares: an explicit type when it carries one, else the one
// its BSTR/IUnknown/IDispatch/VARIANT flag implies, else VT_UI1.
VARTYPE arrayElementType(const SAFEARRAY& array);

// Whether the descriptor's element size is the size of that element type, so an element can be
// read as one. A descriptor that disagrees with its own type is refused rather than read past.
bool elementSizeMatches(const SAFEARRAY& array, VARTYPE elementType);

// Keeps the array locked while its elements are read, so it cannot be destroyed or redimensioned
// under us by a client that shares it.
class ArrayLock final {
  public:
    explicit ArrayLock(SAFEARRAY* array)
        : array_(SUCCEEDED(SafeArrayLock(array)) ? array : nullptr) {}
    ~ArrayLock() {
        if (array_ != nullptr) {
            SafeArrayUnlock(array_);
        }
    }
    ArrayLock(const ArrayLock&) = delete;
    ArrayLock& operator=(const ArrayLock&) = delete;
    bool locked() const { return array_ != nullptr; }

  private:
    SAFEARRAY* array_;
};

// Sizing pass: the element count n (upper - lower + 1, taken from the descriptor's stored count
// so that no bound arithmetic can wrap) of the one-dimensional array value carries. False when
// it carries none or the array is not one-dimensional.
bool arrayByteCount(const VARIANT& value, size_t* count);

// Filling pass: element lower + k, converted to VT_UI1, becomes buffer[k]. False when the buffer
// holds fewer than n bytes or an element does not convert; the buffer may then be partly written.
bool arrayBytesFill(const VARIANT& value, BYTE* buffer, size_t bufferSize);

// Both passes into bytes (the previous content is replaced). False leaves bytes empty.
bool arrayToBytes(const VARIANT& value, SecureBytes& bytes);

// A new byte-array VARIANT holding a copy of data (an empty array for size 0). result is
// overwritten, not cleared. E_OUTOFMEMORY when the array cannot be built.
HRESULT byteArrayVariant(const BYTE* data, size_t size, VARIANT* result);

}  // namespace pavlox
