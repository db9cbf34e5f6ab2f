// BSTR allocation: a 32-bit byte-length prefix, the UTF-16 text, and a terminating NUL.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "win/oleauto.h"

namespace {

constexpr size_t kPrefix = sizeof(DWORD);

// Allocates room for bytes of text and fills the prefix and the terminator; null on overflow.
BSTR allocBytes(size_t bytes) {
    // The prefix holds the byte length in 32 bits; the block adds prefix and a 2-byte NUL.
    if (bytes > std::numeric_limits<DWORD>::max() - kPrefix - sizeof(OLECHAR) - 1) {
        return nullptr;
    }
    auto* block = static_cast<BYTE*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR) + 1));
    if (block == nullptr) {
        return nullptr;
    }
    DWORD len = static_cast<DWORD>(bytes);
    std::memcpy(block, &len, kPrefix);
    // One extra NUL byte keeps an odd-length byte string terminated as a wide string too.
    std::memset(block + kPrefix + bytes, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

BYTE* blockOf(BSTR text) {
    return reinterpret_cast<BYTE*>(text) - kPrefix;
}

size_t lengthOf(const OLECHAR* text) {
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t n = lengthOf(text);
    if (n > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<UINT>(n));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT chars) {
    if (static_cast<size_t>(chars) > std::numeric_limits<DWORD>::max() / sizeof(OLECHAR)) {
        return nullptr;
    }
    BSTR s = allocBytes(static_cast<size_t>(chars) * sizeof(OLECHAR));
    if (s == nullptr) {
        return nullptr;
    }
    if (text != nullptr) {
        std::memcpy(s, text, static_cast<size_t>(chars) * sizeof(OLECHAR));
    } else {
        std::memset(s, 0, static_cast<size_t>(chars) * sizeof(OLECHAR));
    }
    return s;
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT size) {
    BSTR s = allocBytes(size);
    if (s == nullptr) {
        return nullptr;
    }
    if (bytes != nullptr) {
        std::memcpy(s, bytes, size);
    } else {
        std::memset(s, 0, size);
    }
    return s;
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT chars) {
    if (target == nullptr) {
        return FALSE;
    }
    // The source may be part of the old string, so copy before freeing.
    BSTR fresh = SysAllocStringLen(text, chars);
    if (fresh == nullptr) {
        return FALSE;
    }
    SysFreeString(*target);
    *target = fresh;
    return TRUE;
}

INT SysReAllocString(BSTR* target, const OLECHAR* text) {
    if (text == nullptr) {
        return SysReAllocStringLen(target, nullptr, 0);
    }
    return SysReAllocStringLen(target, text, static_cast<UINT>(lengthOf(text)));
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(blockOf(text));
    }
}

UINT SysStringByteLen(BSTR text) {
    if (text == nullptr) {
        return 0;
    }
    DWORD len = 0;
    std::memcpy(&len, blockOf(text), kPrefix);
    return len;
}

UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}
