// The 23 CP* entry points of the built-in software providers ("Microsoft Enhanced
// Cryptographic Provider v1.0", "Microsoft Base Cryptographic Provider v1.0"): thin guards that
// find the context record and do the work under its lock.
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capi_error.h"
#include "container_store.h"
#include "key_blob.h"
#include "soft_context.h"

namespace vantor::capi {

namespace {

constexpr DWORD kAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
constexpr std::size_t kMaxContainerName = 260;

// Runs body with the context record locked.
template <typename Body>
BOOL withContext(HCRYPTPROV hProv, Body&& body) noexcept {
    return guarded([&] {
        std::shared_ptr<SoftContext> ctx = findContext(hProv);
        std::lock_guard lock(ctx->mutex);
        body(*ctx);
    });
}

template <typename T>
void require(T* p) {
    if (p == nullptr) {
        failWin32(ERROR_INVALID_PARAMETER);
    }
}

std::string defaultContainerName() {
    // CryptoAPI names a user's default container after the user.
    if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_name != nullptr) {
        return pw->pw_name;
    }
    return "default";
}

bool isExchange(ALG_ID alg) {
    return alg == AT_KEYEXCHANGE || alg == CALG_RSA_KEYX;
}
bool isSignature(ALG_ID alg) {
    return alg == AT_SIGNATURE || alg == CALG_RSA_SIGN;
}

void copyString(const std::string& s, BYTE* data, DWORD* length) {
    copyOut(s.c_str(), static_cast<DWORD>(s.size() + 1), data, length);
}

void copyDword(DWORD v, BYTE* data, DWORD* length) {
    copyOut(&v, sizeof v, data, length);
}

// Session key material from a hash value: the value itself when it is long enough, otherwise
// CryptDeriveKey's documented extension: hash(0x36-pad ^ value) || hash(0x5C-pad ^ value).
SecureBytes deriveMaterial(HashObject& hash, std::size_t need) {
    const auto& value = hash.value();
    SecureBytes material;
    if (need <= value.size()) {
        material.append(std::span(value.data(), need));
        return material;
    }
    for (std::uint8_t fill : {std::uint8_t{0x36}, std::uint8_t{0x5C}}) {
        SecureBytes buffer(64, fill);
        for (std::size_t i = 0; i < value.size() && i < buffer.size(); ++i) {
            buffer[i] ^= value[i];
        }
        HashObject h(hash.alg());
        h.update(buffer.view());
        material.append(h.value());
    }
    if (material.size() < need) {
        fail(NTE_BAD_ALGID);
    }
    material.resize(need);
    return material;
}

std::size_t derivedKeyBytes(const SymmetricAlg& info, DWORD flags) {
    if (info.keyBytes != 0) {
        return info.keyBytes;
    }
    DWORD bits = flags >> 16;
    if (bits == 0) {
        bits = info.defaultBits;
    }
    if (bits < info.minBits || bits > info.maxBits || bits % 8 != 0) {
        fail(NTE_BAD_FLAGS);
    }
    return bits / 8;
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

BOOL CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(phKey);
        if (isExchange(Algid) || isSignature(Algid)) {
            DWORD bits = dwFlags >> 16;
            if (bits == 0) {
                bits = defaultRsaBits(ctx.enhanced);
            }
            const DWORD spec = isExchange(Algid) ? AT_KEYEXCHANGE : AT_SIGNATURE;
            const ALG_ID alg = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
            std::shared_ptr<RsaKey> key = RsaKey::generate(bits);
            ctx.setUserKey(spec, key, alg, dwFlags & 0xFFFFu);
            auto object = std::make_unique<KeyObject>();
            object->rsa = key;
            object->rsaAlg = alg;
            object->rsaFlags = dwFlags & 0xFFFFu;
            *phKey = ctx.addKey(std::move(object));
            return;
        }
        auto object = std::make_unique<KeyObject>();
        object->session = SessionKey::generate(Algid, dwFlags, ctx.enhanced);
        *phKey = ctx.addKey(std::move(object));
    });
}

BOOL CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hHash, DWORD dwFlags,
                 HCRYPTKEY* phKey) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(phKey);
        const SymmetricAlg* info = findSymmetric(Algid, ctx.enhanced);
        if (info == nullptr) {
            fail(NTE_BAD_ALGID);
        }
        SecureBytes material = deriveMaterial(ctx.hash(hHash), derivedKeyBytes(*info, dwFlags));
        auto object = std::make_unique<KeyObject>();
        object->session = SessionKey::fromMaterial(Algid, material.view(), dwFlags, ctx.enhanced);
        *phKey = ctx.addKey(std::move(object));
    });
}

BOOL CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    return withContext(hProv, [&](SoftContext& ctx) { ctx.destroyKey(hKey); });
}

BOOL CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                   DWORD /*dwFlags*/) {
    return withContext(hProv, [&](SoftContext& ctx) {
        KeyObject& key = ctx.key(hKey);
        if (!key.session) {
            fail(NTE_BAD_TYPE);
        }
        key.session->setParam(dwParam, pbData);
    });
}

BOOL CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                   DWORD /*dwFlags*/) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pcbDataLen);
        KeyObject& key = ctx.key(hKey);
        if (key.session) {
            return key.session->getParam(dwParam, pbData, pcbDataLen);
        }
        switch (dwParam) {
            case KP_ALGID:
                return copyDword(key.rsaAlg, pbData, pcbDataLen);
            case KP_KEYLEN:
            case KP_BLOCKLEN:
                return copyDword(key.rsa->bits(), pbData, pcbDataLen);
            case KP_PERMISSIONS: {
                DWORD perms = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
                if (key.rsaFlags & CRYPT_EXPORTABLE) {
                    perms |= CRYPT_EXPORT;
                }
                return copyDword(perms, pbData, pcbDataLen);
            }
            default:
                fail(NTE_BAD_TYPE);
        }
    });
}

BOOL CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                 DWORD /*dwFlags*/, BYTE* pbData, DWORD* pcbDataLen) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pcbDataLen);
        KeyObject& key = ctx.key(hKey);
        SecureBytes blob;
        switch (dwBlobType) {
            case PUBLICKEYBLOB:
            case PRIVATEKEYBLOB:
                if (!key.rsa || hPubKey != 0) {
                    fail(NTE_BAD_KEY);
                }
                if (dwBlobType == PRIVATEKEYBLOB &&
                    (!key.rsa->hasPrivate() || (key.rsaFlags & CRYPT_EXPORTABLE) == 0)) {
                    fail(NTE_BAD_KEY_STATE);
                }
                blob = key.rsa->exportBlob(dwBlobType == PRIVATEKEYBLOB, key.rsaAlg);
                break;
            case SIMPLEBLOB: {
                if (!key.session) {
                    fail(NTE_BAD_KEY);
                }
                if ((key.session->flags() & CRYPT_EXPORTABLE) == 0) {
                    fail(NTE_BAD_KEY_STATE);
                }
                if (hPubKey == 0) {
                    fail(NTE_NO_KEY);
                }
                KeyObject& wrap = ctx.key(hPubKey);
                if (!wrap.rsa) {
                    fail(NTE_BAD_PUBLIC_KEY);
                }
                std::vector<std::uint8_t> wrapped =
                    wrap.rsa->encrypt(key.session->material().view(), false);
                reverseBytes(wrapped.data(), wrapped.size());
                blob.resize(kSimpleHeaderSize + wrapped.size());
                writeBlobHeader(blob.data(), SIMPLEBLOB, key.session->alg());
                for (int i = 0; i < 4; ++i) {
                    blob[8 + i] = static_cast<std::uint8_t>(CALG_RSA_KEYX >> (8 * i));
                }
                std::copy(wrapped.begin(), wrapped.end(), blob.begin() + kSimpleHeaderSize);
                break;
            }
            case PLAINTEXTKEYBLOB: {
                if (!key.session || hPubKey != 0) {
                    fail(NTE_BAD_KEY);
                }
                if ((key.session->flags() & CRYPT_EXPORTABLE) == 0) {
                    fail(NTE_BAD_KEY_STATE);
                }
                const SecureBytes& material = key.session->material();
                blob.resize(kBlobHeaderSize + 4 + material.size());
                writeBlobHeader(blob.data(), PLAINTEXTKEYBLOB, key.session->alg());
                const auto size = static_cast<DWORD>(material.size());
                std::memcpy(blob.data() + kBlobHeaderSize, &size, 4);
                std::copy(material.begin(), material.end(), blob.begin() + kBlobHeaderSize + 4);
                break;
            }
            default:
                fail(NTE_BAD_TYPE);
        }
        copyOut(blob.data(), static_cast<DWORD>(blob.size()), pbData, pcbDataLen);
    });
}

BOOL CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                 DWORD dwFlags, HCRYPTKEY* phKey) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(phKey);
        if (pbData == nullptr) {
            failWin32(ERROR_INVALID_PARAMETER);
        }
        const std::span<const std::uint8_t> blob(pbData, cbDataLen);
        const BlobHeader header = readBlobHeader(blob);
        auto object = std::make_unique<KeyObject>();
        switch (header.type) {
            case PUBLICKEYBLOB:
            case PRIVATEKEYBLOB: {
                if (hPubKey != 0) {
                    fail(NTE_BAD_FLAGS);  // encrypted private key blobs are not offered
                }
                std::shared_ptr<RsaKey> key = RsaKey::fromBlob(blob);
                object->rsa = key;
                object->rsaAlg = header.alg;
                object->rsaFlags = dwFlags & 0xFFFFu;
                // An imported key pair becomes the container's pair of its kind.
                if (key->hasPrivate()) {
                    ctx.setUserKey(header.alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE, key,
                                   header.alg, dwFlags & 0xFFFFu);
                }
                break;
            }
            case SIMPLEBLOB: {
                const SimpleBlobView view = parseSimpleBlob(blob);
                if (hPubKey == 0) {
                    fail(NTE_NO_KEY);
                }
                KeyObject& unwrap = ctx.key(hPubKey);
                if (!unwrap.rsa || !unwrap.rsa->hasPrivate()) {
                    fail(NTE_BAD_PUBLIC_KEY);
                }
                if (GET_ALG_TYPE(view.wrapAlg) != ALG_TYPE_RSA) {
                    fail(NTE_BAD_ALGID);
                }
                const std::size_t n = unwrap.rsa->size();
                if (view.wrapped.size() < n) {
                    fail(NTE_BAD_DATA);
                }
                SecureBytes block(view.wrapped.data(), n);
                reverseBytes(block.data(), block.size());
                SecureBytes material = unwrap.rsa->decrypt(block.view(), false);
                // Import flags carry no key size: the wrapped material gives it.
                object->session = SessionKey::fromMaterial(header.alg, material.view(),
                                                           dwFlags & 0xFFFFu, ctx.enhanced);
                break;
            }
            case PLAINTEXTKEYBLOB: {
                const PlainKeyBlobView view = parsePlainKeyBlob(blob);
                if (hPubKey != 0) {
                    fail(NTE_BAD_KEY);
                }
                object->session =
                    SessionKey::fromMaterial(header.alg, view.key, dwFlags & 0xFFFFu, ctx.enhanced);
                break;
            }
            default:
                fail(NTE_BAD_TYPE);
        }
        *phKey = ctx.addKey(std::move(object));
    });
}

BOOL CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
               BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pcbDataLen);
        KeyObject& key = ctx.key(hKey);
        HashObject* hash = hHash != 0 ? &ctx.hash(hHash) : nullptr;
        if (key.session) {
            if (hash != nullptr && pbData != nullptr) {
                hash->update(std::span(pbData, *pcbDataLen));
            }
            return key.session->encrypt(fFinal != FALSE, pbData, pcbDataLen, cbBufLen);
        }
        if (!fFinal) {
            fail(NTE_BAD_DATA);
        }
        const auto n = static_cast<DWORD>(key.rsa->size());
        if (pbData == nullptr) {
            *pcbDataLen = n;
            return;
        }
        if (cbBufLen < n) {
            *pcbDataLen = n;
            failWin32(ERROR_MORE_DATA);
        }
        if (hash != nullptr) {
            hash->update(std::span(pbData, *pcbDataLen));
        }
        std::vector<std::uint8_t> out =
            key.rsa->encrypt(std::span(pbData, *pcbDataLen), (dwFlags & CRYPT_OAEP) != 0);
        reverseBytes(out.data(), out.size());
        std::copy(out.begin(), out.end(), pbData);
        *pcbDataLen = n;
    });
}

BOOL CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
               BYTE* pbData, DWORD* pcbDataLen) {
    return withContext(hProv, [&](SoftContext& ctx) {
        require(pcbDataLen);
        require(pbData);
        KeyObject& key = ctx.key(hKey);
        HashObject* hash = hHash != 0 ? &ctx.hash(hHash) : nullptr;
        if (key.session) {
            key.session->decrypt(fFinal != FALSE, pbData, pcbDataLen);
        } else {
            if (!fFinal || *pcbDataLen != key.rsa->size()) {
                fail(NTE_BAD_DATA);
            }
            SecureBytes block(pbData, *pcbDataLen);
            reverseBytes(block.data(), block.size());
            SecureBytes plain = key.rsa->decrypt(block.view(), (dwFlags & CRYPT_OAEP) != 0);
            std::copy(plain.begin(), plain.end(), pbData);
            *pcbDataLen = static_cast<DWORD>(plain.size());
        }
        if (hash != nullptr) {
            hash->update(std::span(pbData, *pcbDataLen));
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
        KeyObject& key = ctx.key(hKey);
        if (!key.session) {
            fail(NTE_BAD_KEY);
        }
        // Key bytes are hashed most significant first unless CRYPT_LITTLE_ENDIAN (1) asks for
        // them as stored.
        SecureBytes material = key.session->material();
        if ((dwFlags & 1u) == 0) {
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

const CRYPT_PROVIDER_FUNCTIONS& softProviderFunctions() {
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
