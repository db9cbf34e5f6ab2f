// The provider's exported entry points: each waits on the machine-wide provider mutex, does its
// work in C++, sets the thread's last error and returns TRUE when it is 0.
#include "card_binding.h"
#include "card_certificate.h"
#include "card_crypt.h"
#include "card_import.h"
#include "card_keys.h"
#include "provider_codes.h"
#include "provider_context.h"
#include "win/errhandlingapi.h"
#include "win/synchapi.h"
#include "win/wincrypt_provider.h"

#include <new>

namespace tvx {
namespace {

HANDLE g_mutex = nullptr;

// Process attach: the mutex every process of the machine shares.
__attribute__((constructor)) void attach() {
    g_mutex = CreateMutexA(nullptr, FALSE, kMutexName);
    setKeyGenerator(&generateKeyPair);
}

// Process detach: close the mutex. The module is unloaded by the exit handler its first load
// registered, which runs before the module's own static objects are destroyed.
__attribute__((destructor)) void detach() {
    if (g_mutex != nullptr) {
        CloseHandle(g_mutex);
        g_mutex = nullptr;
    }
}

class MutexHold final {
  public:
    MutexHold() {
        if (g_mutex != nullptr) {
            WaitForSingleObject(g_mutex, INFINITE);
        }
    }
    ~MutexHold() {
        if (g_mutex != nullptr) {
            ReleaseMutex(g_mutex);
        }
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
};

template <typename Work>
BOOL frame(Work&& work) {
    DWORD result = 0;
    {
        MutexHold hold;
        try {
            result = work();
        } catch (const std::bad_alloc&) {
            result = static_cast<DWORD>(NTE_NO_MEMORY);
        } catch (...) {
            result = static_cast<DWORD>(NTE_FAIL);
        }
    }
    SetLastError(result);
    return result == 0 ? TRUE : FALSE;
}

// The frame for entry points on an existing context.
template <typename Work>
BOOL onContext(HCRYPTPROV hProv, Work&& work) {
    return frame([&]() -> DWORD {
        ProviderContext* ctx = contextFromHandle(hProv);
        if (ctx == nullptr) {
            return static_cast<DWORD>(NTE_BAD_UID);
        }
        return work(*ctx);
    });
}

DWORD lastError() {
    const DWORD error = GetLastError();
    return error != 0 ? error : static_cast<DWORD>(NTE_FAIL);
}

}  // namespace
}  // namespace tvx

using namespace tvx;

VANTOR_EXPORT BOOL CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                                    PVTableProvStruc) {
    if (phProv == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return frame([&] { return acquireContext(phProv, szContainer, dwFlags); });
}

VANTOR_EXPORT BOOL CPReleaseContext(HCRYPTPROV hProv, DWORD) {
    return frame([&] { return releaseContext(hProv); });
}

VANTOR_EXPORT BOOL CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                                  DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext& ctx) {
        return getProvParam(ctx, dwParam, pbData, pcbDataLen, dwFlags);
    });
}

VANTOR_EXPORT BOOL CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                  DWORD dwFlags) {
    return onContext(
        hProv, [&](ProviderContext& ctx) { return setProvParam(ctx, dwParam, pbData, dwFlags); });
}

// Hashing and random numbers are the software provider's work; its handles pass through.
VANTOR_EXPORT BOOL CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                HCRYPTHASH* phHash) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        if (hKey == CARD_KEY_HANDLE) {
            // No keyed hash with the token key: refused, rather than a success without a handle.
            if (phHash != nullptr) {
                *phHash = 0;
            }
            return static_cast<DWORD>(NTE_BAD_KEY);
        }
        return CryptCreateHash(ctx.softProv, Algid, hKey, dwFlags, phHash) ? 0 : lastError();
    });
}

VANTOR_EXPORT BOOL CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData,
                              DWORD cbDataLen, DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext&) -> DWORD {
        return CryptHashData(hHash, pbData, cbDataLen, dwFlags) ? 0 : lastError();
    });
}

VANTOR_EXPORT BOOL CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                  DWORD* pcbDataLen, DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext&) -> DWORD {
        return CryptGetHashParam(hHash, dwParam, pbData, pcbDataLen, dwFlags) ? 0 : lastError();
    });
}

VANTOR_EXPORT BOOL CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                                  const BYTE* pbData, DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext&) -> DWORD {
        return CryptSetHashParam(hHash, dwParam, pbData, dwFlags) ? 0 : lastError();
    });
}

VANTOR_EXPORT BOOL CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    return onContext(hProv, [&](ProviderContext&) -> DWORD {
        return CryptDestroyHash(hHash) ? 0 : lastError();
    });
}

VANTOR_EXPORT BOOL CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        return CryptGenRandom(ctx.softProv, cbLen, pbBuffer) ? 0 : lastError();
    });
}

// Key entry points: CARD_KEY_HANDLE is the token key of the context, every other key handle is
// the software provider's and passes through.
VANTOR_EXPORT BOOL CPGetUserKey(HCRYPTPROV hProv, DWORD, HCRYPTKEY* phUserKey) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        if (phUserKey == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if ((ctx.flags & CRYPT_NEWKEYSET) != 0 && (!ctx.card || validateKey(*ctx.card) != 0)) {
            return static_cast<DWORD>(NTE_BAD_KEY);
        }
        *phUserKey = CARD_KEY_HANDLE;
        return 0;
    });
}

VANTOR_EXPORT BOOL CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                 DWORD* pcbDataLen, DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        if (hKey == CARD_KEY_HANDLE) {
            return cardKeyParam(ctx, dwParam, pbData, pcbDataLen);
        }
        return CryptGetKeyParam(hKey, dwParam, pbData, pcbDataLen, dwFlags) ? 0 : lastError();
    });
}

VANTOR_EXPORT BOOL CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    return onContext(hProv, [&](ProviderContext&) -> DWORD {
        if (hKey == CARD_KEY_HANDLE) {
            return 0;  // the token key lives as long as its context
        }
        return CryptDestroyKey(hKey) ? 0 : lastError();
    });
}

// The token path of CPGenKey is taken for the RSA key kinds and for the bare size flag.
VANTOR_EXPORT BOOL CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        const bool token = Algid == AT_KEYEXCHANGE || Algid == AT_SIGNATURE ||
                           Algid == CALG_RSA_SIGN || Algid == CALG_RSA_KEYX ||
                           dwFlags == 0x04000000u;
        if (!token) {
            return CryptGenKey(ctx.softProv, Algid, dwFlags, phKey) ? 0 : lastError();
        }
        return genCardKey(ctx, dwFlags, phKey);
    });
}
VANTOR_EXPORT BOOL CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hHash, DWORD dwFlags,
                               HCRYPTKEY* phKey) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        return CryptDeriveKey(ctx.softProv, Algid, hHash, dwFlags, phKey) ? 0 : lastError();
    });
}
VANTOR_EXPORT BOOL CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam,
                                 const BYTE* pbData, DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        if (hKey == CARD_KEY_HANDLE) {
            return setCardKeyParam(ctx, dwParam, pbData);
        }
        return CryptSetKeyParam(hKey, dwParam, pbData, dwFlags) ? 0 : lastError();
    });
}
VANTOR_EXPORT BOOL CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey,
                               DWORD dwBlobType, DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        if (hKey == CARD_KEY_HANDLE) {
            return exportCardPublicKey(ctx, hPubKey, dwBlobType, pbData, pcbDataLen);
        }
        if (hPubKey == CARD_KEY_HANDLE) {
            return exportWrappedForCardKey(ctx, hKey, dwBlobType, dwFlags, pbData, pcbDataLen);
        }
        return static_cast<DWORD>(NTE_BAD_KEY);
    });
}
VANTOR_EXPORT BOOL CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen,
                               HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        const bool tokenBlob = pbData != nullptr && cbDataLen > 0 &&
                               (pbData[0] == SIMPLEBLOB || pbData[0] == PRIVATEKEYBLOB);
        if ((hPubKey == 0 || hPubKey == CARD_KEY_HANDLE) && tokenBlob) {
            return pbData[0] == SIMPLEBLOB
                       ? importSimpleBlob(ctx, pbData, cbDataLen, dwFlags, phKey)
                       : importPrivateKey(ctx, pbData, cbDataLen, phKey);
        }
        return CryptImportKey(ctx.softProv, pbData, cbDataLen, hPubKey, dwFlags, phKey)
                   ? 0
                   : lastError();
    });
}
VANTOR_EXPORT BOOL CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        if (hKey == CARD_KEY_HANDLE) {
            return encryptWithCardKey(ctx, hHash, fFinal, dwFlags, pbData, pcbDataLen, cbBufLen);
        }
        return CryptEncrypt(hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen, cbBufLen)
                   ? 0
                   : lastError();
    });
}
VANTOR_EXPORT BOOL CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                             DWORD dwFlags, BYTE* pbData, DWORD* pcbDataLen) {
    return onContext(hProv, [&](ProviderContext& ctx) -> DWORD {
        if (hKey == CARD_KEY_HANDLE) {
            return decryptWithCardKey(ctx, pbData, pcbDataLen);  // hash, final, flags unused
        }
        return CryptDecrypt(hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen) ? 0 : lastError();
    });
}
VANTOR_EXPORT BOOL CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey,
                                    DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext&) -> DWORD {
        return CryptHashSessionKey(hHash, hKey, dwFlags) ? 0 : lastError();
    });
}
VANTOR_EXPORT BOOL CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD, LPCWSTR szDescription,
                              DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) {
    return onContext(hProv, [&](ProviderContext& ctx) {
        return signHash(ctx, hHash, szDescription, dwFlags, pbSignature, pcbSigLen);
    });
}
VANTOR_EXPORT BOOL CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                                     DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                                     DWORD dwFlags) {
    return onContext(hProv, [&](ProviderContext&) -> DWORD {
        return CryptVerifySignatureW(hHash, pbSignature, cbSigLen, hPubKey, szDescription, dwFlags)
                   ? 0
                   : lastError();
    });
}
