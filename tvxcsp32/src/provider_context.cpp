// CPAcquireContext, CPReleaseContext, CPGetProvParam and CPSetProvParam on the context record.
#include "provider_context.h"

#include "container_name.h"
#include "identity_key.h"
#include "provider_codes.h"
#include "smart_logon.h"
#include "win/errhandlingapi.h"

#include <cstring>
#include <set>

namespace tvx {
namespace {

// Handles handed out and not yet released (touched only under the provider mutex).
std::set<ProviderContext*>& liveContexts() {
    static auto* live = new std::set<ProviderContext*>;
    return *live;
}

DWORD putDword(BYTE* data, DWORD* length, DWORD value) {
    return putBytes(data, length, &value, sizeof(value));
}

DWORD putString(BYTE* data, DWORD* length, const std::string& text) {
    return putBytes(data, length, text.c_str(), text.size() + 1);
}

// Opens the scratch container of the Enhanced provider, else of the Base provider.
bool openSoftProvider(ProviderContext& ctx, DWORD machine) {
    for (const char* name : {MS_ENHANCED_PROV_A, MS_DEF_PROV_A}) {
        HCRYPTPROV old = 0;
        if (CryptAcquireContextA(&old, kScratchContainer, name, PROV_RSA_FULL,
                                 machine | CRYPT_DELETEKEYSET)) {
            break;  // the outcome does not matter; one deletion is enough
        }
    }
    for (const char* name : {MS_ENHANCED_PROV_A, MS_DEF_PROV_A}) {
        if (CryptAcquireContextA(&ctx.softProv, kScratchContainer, name, PROV_RSA_FULL,
                                 machine | CRYPT_NEWKEYSET)) {
            return true;
        }
        ctx.softProv = 0;
    }
    return false;
}

// The software provider's algorithm list shows what the token does with RSA keys.
void adjustAlgorithm(DWORD param, BYTE* data, DWORD length) {
    if (param == PP_ENUMALGS && length >= sizeof(PROV_ENUMALGS)) {
        PROV_ENUMALGS entry;
        std::memcpy(&entry, data, sizeof(entry));
        if (entry.aiAlgid == CALG_RSA_SIGN || entry.aiAlgid == CALG_RSA_KEYX) {
            entry.dwBitLen = 2048;
            std::memcpy(data, &entry, sizeof(entry));
        }
    } else if (param == PP_ENUMALGS_EX && length >= sizeof(PROV_ENUMALGS_EX)) {
        PROV_ENUMALGS_EX entry;
        std::memcpy(&entry, data, sizeof(entry));
        if (entry.aiAlgid == CALG_RSA_SIGN || entry.aiAlgid == CALG_RSA_KEYX) {
            entry.dwDefaultLen = 1024;
            entry.dwMinLen = 1024;
            entry.dwMaxLen = 2048;
            std::memcpy(data, &entry, sizeof(entry));
        }
    }
}

void setContainerName(ProviderContext& ctx, std::string name) {
    SplitName split = splitContainerName(name);
    ctx.label = std::move(split.label);
    ctx.serialPart = std::move(split.serial);
    ctx.containerName = std::move(name);
}

}  // namespace

DWORD putBytes(BYTE* data, DWORD* length, const void* value, std::size_t size) {
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD have = *length;
    *length = static_cast<DWORD>(size);
    if (data == nullptr) {
        return 0;
    }
    if (have < size) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, value, size);
    return 0;
}

ProviderContext::~ProviderContext() {
    card.reset();
    if (identityKey != 0) {
        CryptDestroyKey(identityKey);
    }
    if (softProv != 0) {
        CryptReleaseContext(softProv, 0);
    }
}

DWORD ProviderContext::bind(DWORD extraFlags) {
    if (!card) {
        // A verify-only context has no card session to bind.
        lastCardResult = static_cast<DWORD>(NTE_BAD_KEYSET);
        return lastCardResult;
    }
    BindRequest request;
    request.flags = flags | extraFlags;
    request.containerName = containerName ? &*containerName : nullptr;
    request.pin = pin ? &*pin : nullptr;
    request.slotSelector = slotSelector ? &*slotSelector : nullptr;
    request.keyBits = keyBits;
    request.forcePin = forcePin;
    lastCardResult = bindCard(*card, request);
    return lastCardResult;
}

ProviderContext* contextFromHandle(HCRYPTPROV handle) {
    auto* ctx = reinterpret_cast<ProviderContext*>(handle);
    return liveContexts().count(ctx) != 0 ? ctx : nullptr;
}

DWORD acquireContext(HCRYPTPROV* handle, const char* container, DWORD flags) {
    *handle = 0;
    auto ctx = std::make_unique<ProviderContext>();
    if ((flags & CRYPT_DELETEKEYSET) != 0) {
        // Nothing is deleted, on the token or in the software provider, and no handle is made:
        // CryptoAPI hands none back for a deletion, so a record would never be released.
        return 0;
    }
    ctx->flags = flags;
    const ContainerArgument arg = parseContainerArgument(container);
    if (arg.reader) {
        ctx->slotSelector = SlotSelector(*arg.reader);
    }
    if (arg.readerQualified) {
        ctx->readerQualified = 1;
    }
    if (arg.needsSmartLogonLookup) {
        // The only card access while acquiring: the token in the reader names its smart-logon
        // container. A token that cannot be reached leaves the name empty, and the reason in
        // lastCardResult for PP_LAST_CARD_ERROR.
        ctx->smartLogonName = lookUpSmartLogonContainer(*arg.reader, &ctx->lastCardResult);
        setContainerName(*ctx, ctx->smartLogonName);
    } else if (arg.containerName) {
        setContainerName(*ctx, *arg.containerName);
    }
    if (!openSoftProvider(*ctx, flags & CRYPT_MACHINE_KEYSET)) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    if (!CryptImportKey(ctx->softProv, kIdentityKeyBlob.data(), kIdentityKeyImportLength, 0, 0,
                        &ctx->identityKey)) {
        ctx->identityKey = 0;
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    if (flags <= 0x0FFFFFFFu) {
        ctx->card = std::make_unique<CardSession>();
    }
    liveContexts().insert(ctx.get());
    *handle = reinterpret_cast<HCRYPTPROV>(ctx.release());
    return 0;
}

DWORD releaseContext(HCRYPTPROV handle) {
    ProviderContext* ctx = contextFromHandle(handle);
    if (ctx != nullptr) {
        KeyCache::instance().erase(ctx->card.get());
        liveContexts().erase(ctx);
        delete ctx;
    }
    return 0;
}

DWORD getProvParam(ProviderContext& ctx, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (param) {
        case PP_IMPTYPE:
            return putDword(data, length, CRYPT_IMPL_MIXED | CRYPT_IMPL_REMOVABLE);
        case PP_NAME:
            return putString(data, length, kProviderName);
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER:
            // A context without a container name answers an empty name.
            return putString(data, length, ctx.containerName.value_or(std::string()));
        case PP_PROVTYPE:
            return putDword(data, length, PROV_RSA_FULL);
        case PP_SIG_KEYSIZE_INC:
        case PP_KEYX_KEYSIZE_INC:
            return putDword(data, length, 1024);
        case PP_LAST_CARD_ERROR:
            return putDword(data, length, ctx.lastCardResult);
        default:
            break;
    }
    if (!CryptGetProvParam(ctx.softProv, param, data, length, flags)) {
        return GetLastError();
    }
    if (data != nullptr) {
        adjustAlgorithm(param, data, *length);
    }
    return 0;
}

DWORD setProvParam(ProviderContext& ctx, DWORD param, const BYTE* data, DWORD flags) {
    auto dword = [data] {
        DWORD value = 0;
        std::memcpy(&value, data, sizeof(value));
        return value;
    };
    switch (param) {
        case PP_KEYEXCHANGE_KEYSIZE:
        case PP_SIGNATURE_KEYSIZE: {
            if (data == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            const DWORD bits = dword();
            if (bits < 1024 || bits > 2048 || bits % 1024 != 0) {
                return ERROR_INVALID_PARAMETER;
            }
            ctx.keyBits = bits;
            return 0;
        }
        case PP_KEYEXCHANGE_PIN: {
            if (data == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            const auto* text = reinterpret_cast<const std::uint8_t*>(data);
            const std::size_t n = std::strlen(reinterpret_cast<const char*>(data));
            vantor::SecureBytes given(text, n + 1);  // with its terminator
            // BindCard sees the new PIN; the context keeps it only when it was accepted.
            std::optional<vantor::SecureBytes> previous = std::move(ctx.pin);
            ctx.pin = std::move(given);
            if (ctx.bind() != 0) {
                ctx.pin = std::move(previous);
                return kWrongChv;
            }
            return 0;
        }
        case PP_FORCE_PIN:
            if (data == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            ctx.forcePin = dword();
            return 0;
        case PP_SLOT_NAME:
            if (data == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            ctx.slotSelector = SlotSelector(std::string(reinterpret_cast<const char*>(data)));
            return 0;
        case PP_SLOT_INDEX:
            if (data == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            ctx.slotSelector = SlotSelector(dword());
            return 0;
        default:
            break;
    }
    if (!CryptSetProvParam(ctx.softProv, param, data, flags)) {
        return GetLastError();
    }
    return 0;
}

}  // namespace tvx
