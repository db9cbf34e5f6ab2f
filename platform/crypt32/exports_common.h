// Shared pieces of the flat crypt32 entry points: the guard that maps C++ failures to the
// thread's last error, context creation for store entries, and property access.
#pragma once

#include <new>
#include <optional>

#include "cert_object.h"
#include "cert_store.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

namespace vantor::crypt32 {

// The one mapping from this layer's exceptions to last-error codes.
inline void setErrorFromException() {
    try {
        throw;
    } catch (const DecodeError& e) {
        SetLastError(static_cast<DWORD>(e.code));
    } catch (const StoreError& e) {
        SetLastError(e.code);
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    } catch (...) {
        SetLastError(static_cast<DWORD>(E_UNEXPECTED));
    }
}

// Runs fn; an exception becomes the last error and `failed` the result.
template <typename R, typename Fn>
R guarded(R failed, Fn&& fn) {
    try {
        return fn();
    } catch (...) {
        setErrorFromException();
        return failed;
    }
}

[[noreturn]] inline void raise(HRESULT code) {
    throw StoreError{static_cast<DWORD>(code)};
}

// A live context or E_INVALIDARG.
CertObject& requireContext(PCCERT_CONTEXT ctx);
// A live, open store handle or E_INVALIDARG.
CertStore& requireStore(HCERTSTORE handle);
// A new context for a stored entry, holding a reference on its store.
PCCERT_CONTEXT contextForEntry(CertStore& store, const StoredCert& entry);
// Drops one reference of a context; the last one frees it.
void releaseContext(CertObject& cert);

// Properties of a context wherever they live (its store, or the context itself).
PropertyMap contextProperties(CertObject& cert);
std::optional<Bytes> contextProperty(CertObject& cert, DWORD propId);
void setContextProperty(CertObject& cert, DWORD propId, const std::optional<Bytes>& value);

}  // namespace vantor::crypt32
