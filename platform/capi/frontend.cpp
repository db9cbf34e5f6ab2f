// The CryptoAPI application interface: Crypt* calls as thin guards over the front end's own
// handle records, each naming a provider image and the provider's handle. A handle from one
// context never reaches another context's provider.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "capi_error.h"
#include "provider_table.h"
#include "utf16.h"
#include "win/wincrypt.h"

using namespace vantor::capi;

namespace {

struct ProvRecord {
    std::shared_ptr<const ProviderImage> image;
    HCRYPTPROV inner = 0;
    const CRYPT_PROVIDER_FUNCTIONS& fn() const { return image->functions; }
};
struct KeyRecord {
    std::shared_ptr<ProvRecord> prov;
    HCRYPTKEY inner = 0;
};
struct HashRecord {
    std::shared_ptr<ProvRecord> prov;
    HCRYPTHASH inner = 0;
};

// One table per kind of handle; handle values are counters shared by all three kinds, so a
// key handle passed where a hash is expected is simply unknown.
class Handles final {
  public:
    template <typename R>
    ULONG_PTR add(std::unordered_map<ULONG_PTR, std::shared_ptr<R>>& table,
                  std::shared_ptr<R> record) {
        std::unique_lock lock(mutex_);
        const ULONG_PTR handle = next_++;
        table[handle] = std::move(record);
        return handle;
    }
    template <typename R>
    std::shared_ptr<R> find(std::unordered_map<ULONG_PTR, std::shared_ptr<R>>& table,
                            ULONG_PTR handle, HRESULT unknown) {
        std::shared_lock lock(mutex_);
        auto it = table.find(handle);
        if (it == table.end()) {
            fail(unknown);
        }
        return it->second;
    }
    template <typename R>
    std::shared_ptr<R> take(std::unordered_map<ULONG_PTR, std::shared_ptr<R>>& table,
                            ULONG_PTR handle, HRESULT unknown) {
        std::unique_lock lock(mutex_);
        auto it = table.find(handle);
        if (it == table.end()) {
            fail(unknown);
        }
        auto record = std::move(it->second);
        table.erase(it);
        return record;
    }
    // Drops a released context's key and hash handles; the provider has freed them with it.
    void dropChildren(const ProvRecord* prov) {
        std::unique_lock lock(mutex_);
        std::erase_if(keys, [&](const auto& kv) { return kv.second->prov.get() == prov; });
        std::erase_if(hashes, [&](const auto& kv) { return kv.second->prov.get() == prov; });
    }

    std::unordered_map<ULONG_PTR, std::shared_ptr<ProvRecord>> provs;
    std::unordered_map<ULONG_PTR, std::shared_ptr<KeyRecord>> keys;
    std::unordered_map<ULONG_PTR, std::shared_ptr<HashRecord>> hashes;

  private:
    std::shared_mutex mutex_;
    ULONG_PTR next_ = 0x10000;
};

Handles& handles() {
    static auto* h = new Handles();
    return *h;
}

std::shared_ptr<ProvRecord> prov(HCRYPTPROV h) {
    return handles().find(handles().provs, h, NTE_BAD_UID);
}
std::shared_ptr<KeyRecord> key(HCRYPTKEY h) {
    return handles().find(handles().keys, h, NTE_BAD_KEY);
}
std::shared_ptr<HashRecord> hash(HCRYPTHASH h) {
    return handles().find(handles().hashes, h, NTE_BAD_HASH);
}

// A second handle given with a first must belong to the same context (0 allowed where the
// call allows "none").
HCRYPTKEY sameContextKey(HCRYPTKEY h, const ProvRecord& owner, HRESULT mismatch) {
    if (h == 0) {
        return 0;
    }
    auto k = key(h);
    if (k->prov.get() != &owner) {
        fail(mismatch);
    }
    return k->inner;
}

// The same for an optional hash handle given with a key.
HCRYPTHASH sameContextHash(HCRYPTHASH h, const ProvRecord& owner) {
    if (h == 0) {
        return 0;
    }
    auto record = hash(h);
    if (record->prov.get() != &owner) {
        fail(NTE_BAD_HASH);
    }
    return record->inner;
}

// Calls into a provider: its FALSE carries its last error; a provider that failed without
// setting one still reports a failure.
template <typename Call>
void callProvider(Call&& call) {
    SetLastError(ERROR_SUCCESS);
    if (!call()) {
        const DWORD error = GetLastError();
        throw CapiError(error != 0 ? error : static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
    }
}

// Calls a provider entry on the key or hash behind `record`, in the context it belongs to.
template <typename Record, typename Entry, typename... Args>
void callOn(const Record& record, Entry CRYPT_PROVIDER_FUNCTIONS::*entry, Args... args) {
    callProvider(
        [&] { return (record.prov->fn().*entry)(record.prov->inner, record.inner, args...); });
}

// New front-end handles for a key or hash the provider has just made in context `p`.
HCRYPTKEY addKey(const std::shared_ptr<ProvRecord>& p, HCRYPTKEY inner) {
    return handles().add(handles().keys, std::make_shared<KeyRecord>(KeyRecord{p, inner}));
}
HCRYPTHASH addHash(const std::shared_ptr<ProvRecord>& p, HCRYPTHASH inner) {
    return handles().add(handles().hashes, std::make_shared<HashRecord>(HashRecord{p, inner}));
}

BOOL WINAPI verifyImage(LPCSTR, BYTE*) {
    return TRUE;  // images are trusted as registered; there is no signature to check here
}
BOOL WINAPI returnWindow(DWORD* window) {
    if (window != nullptr) {
        *window = 0;
    }
    return TRUE;
}

void acquire(HCRYPTPROV* phProv, LPCSTR container, LPCSTR provider, DWORD type, DWORD flags) {
    if (phProv == nullptr) {
        failWin32(ERROR_INVALID_PARAMETER);
    }
    *phProv = 0;
    auto image = findProvider(provider, type);
    VTableProvStruc vtable{};
    vtable.Version = 3;
    vtable.FuncVerifyImage = reinterpret_cast<FARPROC>(&verifyImage);
    vtable.FuncReturnhWnd = reinterpret_cast<FARPROC>(&returnWindow);
    vtable.dwProvType = type;
    std::string name = image->name;  // the provider may not keep or change it
    vtable.pszProvName = name.data();
    HCRYPTPROV inner = 0;
    callProvider(
        [&] { return image->functions.CPAcquireContext(&inner, container, flags, &vtable); });
    if (flags & CRYPT_DELETEKEYSET) {
        return;  // a deleted key set leaves no context behind
    }
    auto record = std::make_shared<ProvRecord>();
    record->image = std::move(image);
    record->inner = inner;
    *phProv = handles().add(handles().provs, std::move(record));
}

void verifySignature(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                     LPCWSTR szDescription, DWORD dwFlags) {
    auto h = hash(hHash);
    auto k = key(hPubKey);
    if (k->prov != h->prov) {
        fail(NTE_BAD_KEY);
    }
    callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPVerifySignature, pbSignature, dwSigLen, k->inner,
           szDescription, dwFlags);
}

std::u16string widen(LPCSTR text) {
    return text != nullptr ? utf8ToUtf16(text) : std::u16string();
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
    return guarded([&] { acquire(phProv, szContainer, szProvider, dwProvType, dwFlags); });
}

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
    return guarded([&] {
        const std::string container = szContainer ? utf16ToUtf8(szContainer) : std::string();
        const std::string provider = szProvider ? utf16ToUtf8(szProvider) : std::string();
        acquire(phProv, szContainer ? container.c_str() : nullptr,
                szProvider ? provider.c_str() : nullptr, dwProvType, dwFlags);
    });
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return guarded([&] {
        if (dwFlags != 0) {
            prov(hProv);
            fail(NTE_BAD_FLAGS);
        }
        auto p = handles().take(handles().provs, hProv, NTE_BAD_UID);
        handles().dropChildren(p.get());
        callProvider([&] { return p->fn().CPReleaseContext(p->inner, 0); });
    });
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
    return guarded([&] {
        auto p = prov(hProv);
        callProvider(
            [&] { return p->fn().CPGetProvParam(p->inner, dwParam, pbData, pdwDataLen, dwFlags); });
    });
}

BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return guarded([&] {
        auto p = prov(hProv);
        callProvider([&] { return p->fn().CPSetProvParam(p->inner, dwParam, pbData, dwFlags); });
    });
}

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return guarded([&] {
        if (phKey == nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        auto p = prov(hProv);
        HCRYPTKEY inner = 0;
        callProvider([&] { return p->fn().CPGenKey(p->inner, Algid, dwFlags, &inner); });
        *phKey = addKey(p, inner);
    });
}

BOOL CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                    HCRYPTKEY* phKey) {
    return guarded([&] {
        if (phKey == nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        auto p = prov(hProv);
        auto h = hash(hBaseData);
        if (h->prov != p) {
            fail(NTE_BAD_HASH);
        }
        HCRYPTKEY inner = 0;
        callProvider(
            [&] { return p->fn().CPDeriveKey(p->inner, Algid, h->inner, dwFlags, &inner); });
        *phKey = addKey(p, inner);
    });
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
    return guarded([&] {
        auto k = handles().take(handles().keys, hKey, NTE_BAD_KEY);
        callOn(*k, &CRYPT_PROVIDER_FUNCTIONS::CPDestroyKey);
    });
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags) {
    return guarded([&] {
        auto k = key(hKey);
        callOn(*k, &CRYPT_PROVIDER_FUNCTIONS::CPGetKeyParam, dwParam, pbData, pdwDataLen, dwFlags);
    });
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return guarded([&] {
        auto k = key(hKey);
        callOn(*k, &CRYPT_PROVIDER_FUNCTIONS::CPSetKeyParam, dwParam, pbData, dwFlags);
    });
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return guarded([&] {
        if (phUserKey == nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        auto p = prov(hProv);
        HCRYPTKEY inner = 0;
        callProvider([&] { return p->fn().CPGetUserKey(p->inner, dwKeySpec, &inner); });
        *phUserKey = addKey(p, inner);
    });
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen) {
    return guarded([&] {
        auto k = key(hKey);
        const HCRYPTKEY exp = sameContextKey(hExpKey, *k->prov, NTE_BAD_KEY);
        callOn(*k, &CRYPT_PROVIDER_FUNCTIONS::CPExportKey, exp, dwBlobType, dwFlags, pbData,
               pdwDataLen);
    });
}

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                    DWORD dwFlags, HCRYPTKEY* phKey) {
    return guarded([&] {
        if (phKey == nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        auto p = prov(hProv);
        const HCRYPTKEY pub = sameContextKey(hPubKey, *p, NTE_BAD_KEY);
        HCRYPTKEY inner = 0;
        callProvider(
            [&] { return p->fn().CPImportKey(p->inner, pbData, dwDataLen, pub, dwFlags, &inner); });
        *phKey = addKey(p, inner);
    });
}

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen, DWORD dwBufLen) {
    return guarded([&] {
        auto k = key(hKey);
        const HCRYPTHASH innerHash = sameContextHash(hHash, *k->prov);
        callOn(*k, &CRYPT_PROVIDER_FUNCTIONS::CPEncrypt, innerHash, Final, dwFlags, pbData,
               pdwDataLen, dwBufLen);
    });
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen) {
    return guarded([&] {
        auto k = key(hKey);
        const HCRYPTHASH innerHash = sameContextHash(hHash, *k->prov);
        callOn(*k, &CRYPT_PROVIDER_FUNCTIONS::CPDecrypt, innerHash, Final, dwFlags, pbData,
               pdwDataLen);
    });
}

BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return guarded([&] {
        auto p = prov(hProv);
        callProvider([&] { return p->fn().CPGenRandom(p->inner, dwLen, pbBuffer); });
    });
}

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash) {
    return guarded([&] {
        if (phHash == nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        auto p = prov(hProv);
        const HCRYPTKEY innerKey = sameContextKey(hKey, *p, NTE_BAD_KEY);
        HCRYPTHASH inner = 0;
        callProvider(
            [&] { return p->fn().CPCreateHash(p->inner, Algid, innerKey, dwFlags, &inner); });
        *phHash = addHash(p, inner);
    });
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    return guarded([&] {
        auto h = hash(hHash);
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPHashData, pbData, dwDataLen, dwFlags);
    });
}

BOOL CryptHashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    return guarded([&] {
        auto h = hash(hHash);
        auto k = key(hKey);
        if (k->prov != h->prov) {
            fail(NTE_BAD_KEY);
        }
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPHashSessionKey, k->inner, dwFlags);
    });
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
    return guarded([&] {
        auto h = handles().take(handles().hashes, hHash, NTE_BAD_HASH);
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPDestroyHash);
    });
}

BOOL CryptDuplicateHash(HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags, HCRYPTHASH* phHash) {
    return guarded([&] {
        if (phHash == nullptr || pdwReserved != nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        auto h = hash(hHash);
        if (h->prov->fn().CPDuplicateHash == nullptr) {
            failWin32(ERROR_CALL_NOT_IMPLEMENTED);
        }
        HCRYPTHASH inner = 0;
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPDuplicateHash, nullptr, dwFlags, &inner);
        *phHash = addHash(h->prov, inner);
    });
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
    return guarded([&] {
        auto h = hash(hHash);
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPGetHashParam, dwParam, pbData, pdwDataLen, dwFlags);
    });
}

BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return guarded([&] {
        auto h = hash(hHash);
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPSetHashParam, dwParam, pbData, dwFlags);
    });
}

BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen) {
    return guarded([&] {
        auto h = hash(hHash);
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPSignHash, dwKeySpec, szDescription, dwFlags,
               pbSignature, pdwSigLen);
    });
}

BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen) {
    return guarded([&] {
        const std::u16string description = widen(szDescription);
        auto h = hash(hHash);
        callOn(*h, &CRYPT_PROVIDER_FUNCTIONS::CPSignHash, dwKeySpec,
               szDescription ? description.c_str() : nullptr, dwFlags, pbSignature, pdwSigLen);
    });
}

BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    return guarded(
        [&] { verifySignature(hHash, pbSignature, dwSigLen, hPubKey, szDescription, dwFlags); });
}

BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags) {
    return guarded([&] {
        const std::u16string description = widen(szDescription);
        verifySignature(hHash, pbSignature, dwSigLen, hPubKey,
                        szDescription ? description.c_str() : nullptr, dwFlags);
    });
}

BOOL CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPSTR szProvName, DWORD* pcbProvName) {
    return guarded([&] {
        if (pdwReserved != nullptr || dwFlags != 0 || pdwProvType == nullptr ||
            pcbProvName == nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        const auto list = listProviders();
        if (dwIndex >= list.size()) {
            failWin32(ERROR_NO_MORE_ITEMS);
        }
        const auto& entry = list[dwIndex];
        *pdwProvType = entry.type;
        copyOut(entry.name.c_str(), static_cast<DWORD>(entry.name.size() + 1),
                reinterpret_cast<BYTE*>(szProvName), pcbProvName);
    });
}
