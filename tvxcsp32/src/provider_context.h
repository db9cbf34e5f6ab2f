// The record behind every provider handle, and the context entry points' work on it.
#pragma once

#include "card_binding.h"
#include "module_state.h"
#include "win/wincrypt.h"

#include <memory>
#include <optional>
#include <string>

namespace tvx {

struct ProviderContext {
    DWORD flags = 0;
    std::optional<std::string> containerName;
    std::string label;                       // containerName up to its last separator
    std::optional<std::string> serialPart;   // behind the last separator
    std::optional<vantor::SecureBytes> pin;  // NUL-terminated, as given
    std::optional<SlotSelector> slotSelector;
    DWORD forcePin = 0;
    DWORD keyBits = 1024;
    DWORD lastCardResult = 0;
    HCRYPTPROV softProv = 0;
    HCRYPTKEY identityKey = 0;
    std::unique_ptr<CardSession> card;  // null in verify-only contexts
    DWORD readerQualified = 0;
    std::string smartLogonName;

    ProviderContext() = default;
    ~ProviderContext();
    ProviderContext(const ProviderContext&) = delete;
    ProviderContext& operator=(const ProviderContext&) = delete;

    // BindCard with this context's fields (flags plus extraFlags); the result is kept in
    // lastCardResult.
    DWORD bind(DWORD extraFlags = 0);
};

// The context of a handle handed out by acquireContext and not yet released; null otherwise.
ProviderContext* contextFromHandle(HCRYPTPROV handle);

// The entry points' work; each returns 0 or the error for the thread's last error.
DWORD acquireContext(HCRYPTPROV* handle, const char* container, DWORD flags);
DWORD releaseContext(HCRYPTPROV handle);
DWORD getProvParam(ProviderContext& ctx, DWORD param, BYTE* data, DWORD* length, DWORD flags);
DWORD setProvParam(ProviderContext& ctx, DWORD param, const BYTE* data, DWORD flags);

// The CryptoAPI size protocol: a null buffer asks for the size, a short one gets it with
// ERROR_MORE_DATA.
DWORD putBytes(BYTE* data, DWORD* length, const void* value, std::size_t size);

}  // namespace tvx
