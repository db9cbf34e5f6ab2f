// Weak references to CryptAcquireContextW/A: a program that links the CryptoAPI front end
// resolves them; one that does not sees null pointers instead of failing to link.
#include "capi_link.h"

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
