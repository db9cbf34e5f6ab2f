// The context, parameter, hash, signature and random entry points of the built-in software
// providers ("Microsoft Enhanced Cryptographic Provider v1.0", "Microsoft Base Cryptographic
// Provider v1.0"), and their function table: thin guards that find the context record and do
// the work under its lock. The key entry points are in soft_keys.cpp.
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "container_store.h"
#include "soft_entry.h"

namespace vantor::capi::soft {

namespace {

constexpr DWORD kAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
constexpr std::size_t kMaxContainerName = 260;

std::string defaultContainerName() {
    // CryptoAPI names a user's default container after the user.
    if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_name != nullptr) {
        return pw->pw_name;
    }
    return "default";
}

void copyString(const std::string& s, BYTE* data, DWORD* length) {
    copyOut(s.c_str(), static_cast<DWORD>(s.size() + 1), data, length);
}

BOOL CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                      PVTableProvStruc pVTable) {
    return guarded([&] {
        require(phProv);
        *phProv = 0;
        if ((dwFlags & ~kAcquireFlags) != 0) {
            fail(NTE_BAD_FLAGS);
        }
        const bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
        const bool create = (dwFlags & CRYPT_NEWKEYSET) != 0;
        const bool remove = (dwFlags & CRYPT_DELETEKEYSET) != 0;
        if ((verify && (create || remove)) || (create && remove)) {
            fail(NTE_BAD_FLAGS);
        }
        std::string name = MS_ENHANCED_PROV_A;
        if (pVTable != nullptr && pVTable->Version >= 3 && pVTable->pszProvName != nullptr) {
            name = pVTable->pszProvName;
        }
        const bool enhanced = name != MS_DEF_PROV_A;
        const bool machine = (dwFlags & CRYPT_MACHINE_KEYSET) != 0;
        std::string container;
        if (!verify) {
            container = szContainer != nullptr && *szContainer != '\0' ? szContainer
                                                                       : defaultContainerName();
            if (container.size() > kMaxContainerName) {
                fail(NTE_BAD_KEYSET_PARAM);
            }
            ContainerStore& store = ContainerStore::forScope(machine);
            if (remove) {
                store.remove(container);
                return;  // no context: the handle stays 0
            }
            if (create) {
                store.create(container);
            } else if (!store.exists(container)) {
                fail(NTE_BAD_KEYSET);
            }
        }
        *phProv = registerContext(
            std::make_shared<SoftContext>(name, enhanced, machine, verify, container));
    });
}

BOOL CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return guarded([&] {
        if (dwFlags != 0) {
            findContext(hProv);
            fail(NTE_BAD_FLAGS);
        }
        unregisterContext(hProv);
    });
}

BOOL CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                    DWORD dwFlags) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pcbDataLen);
        switch (dwParam) {
            case PP_NAME:
                return copyString(ctx.providerName, pbData, pcbDataLen);
            case PP_CONTAINER:
            case PP_UNIQUE_CONTAINER:
                return copyString(ctx.container, pbData, pcbDataLen);
            case PP_IMPTYPE:
                return copyDword(CRYPT_IMPL_SOFTWARE, pbData, pcbDataLen);
            case PP_VERSION:
                return copyDword(0x200, pbData, pcbDataLen);
            case PP_PROVTYPE:
                return copyDword(PROV_RSA_FULL, pbData, pcbDataLen);
            case PP_KEYSPEC:
                return copyDword(AT_KEYEXCHANGE | AT_SIGNATURE, pbData, pcbDataLen);
            case PP_SIG_KEYSIZE_INC:
            case PP_KEYX_KEYSIZE_INC:
                return copyDword(16, pbData, pcbDataLen);
            case PP_KEYSET_TYPE:
                return copyDword(ctx.machine ? CRYPT_MACHINE_KEYSET : 0, pbData, pcbDataLen);
            case PP_ENUMALGS:
            case PP_ENUMALGS_EX: {
                const auto table = softAlgorithms(ctx.enhanced);
                if (dwFlags & CRYPT_FIRST) {
                    ctx.algCursor = 0;
                }
                if (ctx.algCursor >= table.size()) {
                    failWin32(ERROR_NO_MORE_ITEMS);
                }
                const PROV_ENUMALGS_EX& e = table[ctx.algCursor];
                if (dwParam == PP_ENUMALGS_EX) {
                    copyOut(&e, sizeof e, pbData, pcbDataLen);
                } else {
                    PROV_ENUMALGS a{};
                    a.aiAlgid = e.aiAlgid;
                    a.dwBitLen = e.dwDefaultLen;
                    a.dwNameLen = e.dwNameLen;
                    std::memcpy(a.szName, e.szName, sizeof a.szName);
                    copyOut(&a, sizeof a, pbData, pcbDataLen);
                }
                // Only a call that delivered an entry moves on; a size query does not.
                if (pbData != nullptr) {
                    ++ctx.algCursor;
                }
                return;
            }
            case PP_ENUMCONTAINERS: {
                if ((dwFlags & CRYPT_FIRST) || ctx.containerList.empty()) {
                    ctx.containerList = ContainerStore::forScope(ctx.machine).list();
                    ctx.containerCursor = (dwFlags & CRYPT_FIRST) ? 0 : ctx.containerCursor;
                }
                if (ctx.containerCursor >= ctx.containerList.size()) {
                    failWin32(ERROR_NO_MORE_ITEMS);
                }
                if (pbData == nullptr) {
                    // A size query answers the longest name, so one buffer serves the whole walk.
                    std::size_t longest = 0;
                    for (const auto& n : ctx.containerList) {
                        longest = std::max(longest, n.size());
                    }
                    *pcbDataLen = static_cast<DWORD>(longest + 1);
                    return;
                }
                copyString(ctx.containerList[ctx.containerCursor], pbData, pcbDataLen);
                ++ctx.containerCursor;
                return;
            }
            default:
                fail(NTE_BAD_TYPE);
        }
    });
}

BOOL CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* /*pbData*/, DWORD /*dwFlags*/) {
    return withContext(hProv, [&](SoftContext&) {
        // The owner window is accepted and unused: these providers show no user interface.
        if (dwParam != PP_CLIENT_HWND) {
            fail(NTE_BAD_TYPE);
        }
    });
}

BOOL CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                  HCRYPTHASH* phHash) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(phHash);
        if (hKey != 0) {
            fail(NTE_BAD_KEY);  // keyed hashes (MAC, HMAC) are not offered
        }
        if (dwFlags != 0) {
            fail(NTE_BAD_FLAGS);
        }
        *phHash = ctx.addHash(std::make_unique<HashObject>(Algid));
    });
}

BOOL CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen,
                DWORD /*dwFlags*/) {
    return withContext(hProv, [&](SoftContext& ctx) {
        if (pbData == nullptr && cbDataLen != 0) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        ctx.hash(hHash).update(std::span(pbData, cbDataLen));
    });
}

BOOL CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    return withContext(hProv, [&](SoftContext& ctx) {
        if ((dwFlags & ~CRYPT_LITTLE_ENDIAN) != 0) {
            fail(NTE_BAD_FLAGS);
        }
        KeyObject& key = ctx.key(hKey);
        if (!key.session) {
            fail(NTE_BAD_KEY);
        }
        // Key bytes are hashed most significant first unless CRYPT_LITTLE_ENDIAN asks for them
        // as stored.
        SecureBytes material = key.session->material();
        if ((dwFlags & CRYPT_LITTLE_ENDIAN) == 0) {
            reverseBytes(material.data(), material.size());
        }
        ctx.hash(hHash).update(material.view());
    });
}

BOOL CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                    DWORD* pcbDataLen, DWORD /*dwFlags*/) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pcbDataLen);
        HashObject& hash = ctx.hash(hHash);
        switch (dwParam) {
            case HP_ALGID:
                return copyDword(hash.alg(), pbData, pcbDataLen);
            case HP_HASHSIZE:
                return copyDword(hash.size(), pbData, pcbDataLen);
            case HP_HASHVAL:
                if (pbData == nullptr) {
                    *pcbDataLen = hash.size();  // a size query leaves the hash open
                    return;
                }
                return copyOut(hash.value().data(), hash.size(), pbData, pcbDataLen);
            default:
                fail(NTE_BAD_TYPE);
        }
    });
}

BOOL CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                    DWORD /*dwFlags*/) {
    return withContext(hProv, [&](SoftContext& ctx) {
        HashObject& hash = ctx.hash(hHash);
        if (dwParam != HP_HASHVAL) {
            fail(NTE_BAD_TYPE);
        }
        require(pbData);
        hash.setValue(std::span(pbData, hash.size()));
    });
}

BOOL CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR /*szDescription*/,
                DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pcbSigLen);
        if ((dwFlags & ~CRYPT_NOHASHOID) != 0) {
            fail(NTE_BAD_FLAGS);
        }
        HashObject& hash = ctx.hash(hHash);
        const KeyObject& key = ctx.userKey(dwKeySpec);
        const auto n = static_cast<DWORD>(key.rsa->size());
        if (pbSignature == nullptr) {
            *pcbSigLen = n;
            return;
        }
        if (*pcbSigLen < n) {
            *pcbSigLen = n;
            failWin32(ERROR_MORE_DATA);
        }
        const EVP_MD* md = (dwFlags & CRYPT_NOHASHOID) ? nullptr : hash.signatureDigest();
        std::vector<std::uint8_t> sig = key.rsa->sign(md, hash.value());
        reverseBytes(sig.data(), sig.size());
        std::copy(sig.begin(), sig.end(), pbSignature);
        *pcbSigLen = n;
    });
}

BOOL CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    return withContext(hProv, [&](SoftContext& ctx) { ctx.destroyHash(hHash); });
}

BOOL CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                       HCRYPTKEY hPubKey, LPCWSTR /*szDescription*/, DWORD dwFlags) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pbSignature);
        if ((dwFlags & ~CRYPT_NOHASHOID) != 0) {
            fail(NTE_BAD_FLAGS);
        }
        HashObject& hash = ctx.hash(hHash);
        KeyObject& key = ctx.key(hPubKey);
        if (!key.rsa) {
            fail(NTE_BAD_KEY);
        }
        if (cbSigLen != key.rsa->size()) {
            fail(NTE_BAD_SIGNATURE);
        }
        std::vector<std::uint8_t> sig(pbSignature, pbSignature + cbSigLen);
        reverseBytes(sig.data(), sig.size());
        const EVP_MD* md = (dwFlags & CRYPT_NOHASHOID) ? nullptr : hash.signatureDigest();
        if (!key.rsa->verify(md, hash.value(), sig)) {
            fail(NTE_BAD_SIGNATURE);
        }
    });
}

BOOL CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    return withContext(hProv, [&](SoftContext&) {
        if (pbBuffer == nullptr && cbLen != 0) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        std::size_t done = 0;
        while (done < cbLen) {
            const ssize_t got = getrandom(pbBuffer + done, cbLen - done, 0);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail(NTE_FAIL);
            }
            done += static_cast<std::size_t>(got);
        }
    });
}

BOOL CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                     HCRYPTHASH* phHash) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(phHash);
        if (pdwReserved != nullptr || dwFlags != 0) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        *phHash = ctx.addHash(ctx.hash(hHash).duplicate());
    });
}

}  // namespace

BOOL CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(phUserKey);
        const KeyObject& pair = ctx.userKey(dwKeySpec);
        auto object = std::make_unique<KeyObject>();
        object->rsa = pair.rsa;
        object->rsaAlg = pair.rsaAlg;
        object->rsaFlags = pair.rsaFlags;
        *phUserKey = ctx.addKey(std::move(object));
    });
}

}  // namespace vantor::capi::soft

namespace vantor::capi {

const CRYPT_PROVIDER_FUNCTIONS& softProviderFunctions() {
    using namespace soft;
    static const CRYPT_PROVIDER_FUNCTIONS table = {
        CPAcquireContext, CPCreateHash,  CPDecrypt,         CPDeriveKey,     CPDestroyHash,
        CPDestroyKey,     CPEncrypt,     CPExportKey,       CPGenKey,        CPGenRandom,
        CPGetHashParam,   CPGetKeyParam, CPGetProvParam,    CPGetUserKey,    CPHashData,
        CPHashSessionKey, CPImportKey,   CPReleaseContext,  CPSetHashParam,  CPSetKeyParam,
        CPSetProvParam,   CPSignHash,    CPVerifySignature, CPDuplicateHash,
    };
    return table;
}

}  // namespace vantor::capi
