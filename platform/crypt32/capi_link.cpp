// CryptAcquireContextW/A as the certificate code reaches them. With the CryptoAPI front end in
// the tree (VANTOR_HAVE_CAPI) it is linked in directly; without it, weak references let crypt32
// build and work, and a program that carries no front end sees null pointers instead of failing
// to link.
#include "capi_link.h"

#ifdef VANTOR_HAVE_CAPI

#include "win/wincrypt.h"

namespace vantor::crypt32 {

AcquireContextW capiAcquireContextW() {
    return &::CryptAcquireContextW;
}
// The W form is always there, so the A form is never needed.
AcquireContextA capiAcquireContextA() {
    return nullptr;
}

}  // namespace vantor::crypt32

#else

// Declared as the platform headers declare their functions (C++ linkage), weak so their
// absence is not a link error.
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) __attribute__((weak));
BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) __attribute__((weak));

namespace vantor::crypt32 {

AcquireContextW capiAcquireContextW() {
    return &::CryptAcquireContextW;
}
AcquireContextA capiAcquireContextA() {
    return &::CryptAcquireContextA;
}

}  // namespace vantor::crypt32

#endif
