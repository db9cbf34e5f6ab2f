// The key entry points of the built-in software providers: generation, derivation, key
// parameters, blob export and import, encryption and decryption.
#include <algorithm>
#include <cstring>

#include "key_blob.h"
#include "soft_entry.h"

namespace vantor::capi::soft {

namespace {

bool isExchange(ALG_ID alg) {
    return alg == AT_KEYEXCHANGE || alg == CALG_RSA_KEYX;
}
bool isSignature(ALG_ID alg) {
    return alg == AT_SIGNATURE || alg == CALG_RSA_SIGN;
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

}  // namespace

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

}  // namespace vantor::capi::soft
