// PKCS#11 declarations for the suite: the standard header plus result folding and field helpers.
#pragma once

// Debian's p11-kit copy of the standard header, in its default compatibility mode (the CK_* names
// and struct members as the standard spells them). Structures keep the platform ABI: CK_ULONG is
// unsigned long and nothing is packed to one byte, so real Linux modules (SoftHSM2, OpenSC) load.
#include <p11-kit/pkcs11.h>

#include "win/windef.h"
#include "win/winerror.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vantor::pkcs11 {

// Results the suite relies on beyond CKR_OK. They come from the standard header; the checks pin
// the values our callers and stored scripts compare against.
static_assert(CKR_OK == 0x000);
static_assert(CKR_ATTRIBUTE_SENSITIVE == 0x011);
static_assert(CKR_ATTRIBUTE_TYPE_INVALID == 0x012);
static_assert(CKR_PIN_INCORRECT == 0x0A0);
static_assert(CKR_PIN_LOCKED == 0x0A4);
static_assert(CKR_SESSION_HANDLE_INVALID == 0x0B3);
static_assert(CKR_TOKEN_NOT_PRESENT == 0x0E0);
static_assert(CKR_TOKEN_NOT_RECOGNIZED == 0x0E1);
static_assert(CKR_USER_ALREADY_LOGGED_IN == 0x100);
static_assert(CKR_BUFFER_TOO_SMALL == 0x150);
static_assert(CKR_CRYPTOKI_NOT_INITIALIZED == 0x190);
static_assert(CKR_CRYPTOKI_ALREADY_INITIALIZED == 0x191);

// The HRESULT facility that carries a module's return value: 0x80400000 | rv.
inline constexpr std::uint32_t kCkrFacility = 0x80400000u;

// The automation library's fold of a return value: CKR_OK is S_OK, anything else is
// 0x80400000 | rv. Only the low 32 bits of a (64-bit on Linux) CK_RV can travel in an HRESULT;
// every defined value fits, and vendor values keep their low bits as the fold always did.
constexpr HRESULT HresultFromRv(CK_RV rv) {
    if (rv == CKR_OK) {
        return S_OK;
    }
    return static_cast<HRESULT>(kCkrFacility | static_cast<std::uint32_t>(rv & 0xFFFFFFFFu));
}

// The fold without the CKR_OK exception, as the published CK_RVS constants are made
// (eCKR_OK is 0x80400000).
constexpr HRESULT CkrsConstant(CK_RV rv) {
    return static_cast<HRESULT>(kCkrFacility | static_cast<std::uint32_t>(rv & 0xFFFFFFFFu));
}

// Folded results that callers compare against by name.
inline constexpr HRESULT kHrCryptokiNotInitialized = CkrsConstant(CKR_CRYPTOKI_NOT_INITIALIZED);
inline constexpr HRESULT kHrSessionHandleInvalid = CkrsConstant(CKR_SESSION_HANDLE_INVALID);
inline constexpr HRESULT kHrBufferTooSmall = CkrsConstant(CKR_BUFFER_TOO_SMALL);
inline constexpr HRESULT kHrAttributeTypeInvalid = CkrsConstant(CKR_ATTRIBUTE_TYPE_INVALID);
inline constexpr HRESULT kHrAttributeSensitive = CkrsConstant(CKR_ATTRIBUTE_SENSITIVE);
inline constexpr HRESULT kHrPinIncorrect = CkrsConstant(CKR_PIN_INCORRECT);
inline constexpr HRESULT kHrPinLocked = CkrsConstant(CKR_PIN_LOCKED);
inline constexpr HRESULT kHrTokenNotPresent = CkrsConstant(CKR_TOKEN_NOT_PRESENT);
inline constexpr HRESULT kHrTokenNotRecognized = CkrsConstant(CKR_TOKEN_NOT_RECOGNIZED);
inline constexpr HRESULT kHrFunctionNotSupported = CkrsConstant(CKR_FUNCTION_NOT_SUPPORTED);

static_assert(HresultFromRv(CKR_OK) == S_OK);
static_assert(static_cast<std::uint32_t>(kHrCryptokiNotInitialized) == 0x80400190u);
static_assert(static_cast<std::uint32_t>(kHrBufferTooSmall) == 0x80400150u);

// A length that marks an attribute the object lacks or will not reveal. On this platform the
// standard's mark is ~0UL; a module written with a 32-bit CK_ULONG in mind answers 0xFFFFFFFF,
// which would otherwise pass for a 4 GiB value and be allocated.
constexpr bool IsUnavailableLength(CK_ULONG length) {
    return length == CK_UNAVAILABLE_INFORMATION || length == 0xFFFFFFFFUL;
}
static_assert(IsUnavailableLength(CK_UNAVAILABLE_INFORMATION) && IsUnavailableLength(0xFFFFFFFFUL));
static_assert(!IsUnavailableLength(0) && !IsUnavailableLength(256));

// Width of the fixed text fields of CK_TOKEN_INFO, CK_SLOT_INFO and CK_INFO.
inline constexpr std::size_t kLabelWidth = sizeof(CK_TOKEN_INFO::label);
static_assert(kLabelWidth == 32);

// Writes text into a fixed-width field the way the standard stores it: blank-padded, no
// terminator, cut at the field's width.
inline void PadField(CK_UTF8CHAR* field, std::size_t width, std::string_view text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

// Reads a fixed-width field: stops at a NUL byte (some modules terminate early) and drops the
// trailing blanks.
inline std::string TrimField(const CK_UTF8CHAR* field, std::size_t width) {
    std::size_t n = 0;
    while (n < width && field[n] != 0) {
        ++n;
    }
    while (n > 0 && field[n - 1] == ' ') {
        --n;
    }
    return std::string(reinterpret_cast<const char*>(field), n);
}

template <std::size_t N>
void PadField(CK_UTF8CHAR (&field)[N], std::string_view text) {
    PadField(field, N, text);
}

template <std::size_t N>
std::string TrimField(const CK_UTF8CHAR (&field)[N]) {
    return TrimField(field, N);
}

}  // namespace vantor::pkcs11
