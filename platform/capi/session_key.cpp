// Session keys over OpenSSL ciphers with CryptoAPI's chaining, padding and key parameters.
#include "session_key.h"

#include <sys/random.h>

#include <algorithm>
#include <cstring>

#include "capi_error.h"

namespace vantor::capi {

namespace {

// Key lengths exclude DES parity bits, as CryptoAPI counts them.
constexpr SymmetricAlg kBase[] = {
    {CALG_RC2, "RC2", "RSA Data Security's RC2", 8, 40, 56, 40, 0},
    {CALG_RC4, "RC4", "RSA Data Security's RC4", 0, 40, 56, 40, 0},
    {CALG_DES, "DES", "Data Encryption Standard (DES)", 8, 56, 56, 56, 8},
};
constexpr SymmetricAlg kEnhanced[] = {
    {CALG_RC2, "RC2", "RSA Data Security's RC2", 8, 40, 128, 128, 0},
    {CALG_RC4, "RC4", "RSA Data Security's RC4", 0, 40, 128, 128, 0},
    {CALG_DES, "DES", "Data Encryption Standard (DES)", 8, 56, 56, 56, 8},
    {CALG_3DES_112, "3DES TWO KEY", "Two Key Triple DES", 8, 112, 112, 112, 16},
    {CALG_3DES, "3DES", "Three Key Triple DES", 8, 168, 168, 168, 24},
};

// A 40-bit RC2 or RC4 key carries eleven zero salt bytes unless the caller asks for none;
// old applications depend on that default, so both flavours keep it.
constexpr std::size_t kDefaultSaltBytes = 11;

const char* cipherName(ALG_ID alg, DWORD mode) {
    const bool ecb = mode == CRYPT_MODE_ECB;
    switch (alg) {
        case CALG_RC2:
            return ecb ? "RC2-ECB" : "RC2-CBC";
        case CALG_RC4:
            return "RC4";
        case CALG_DES:
            return ecb ? "DES-ECB" : "DES-CBC";
        case CALG_3DES_112:
            return ecb ? "DES-EDE" : "DES-EDE-CBC";
        case CALG_3DES:
            return ecb ? "DES-EDE3" : "DES-EDE3-CBC";
        default:
            return nullptr;
    }
}

void randomBytes(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        ssize_t got = getrandom(out, size, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(NTE_FAIL);
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
}

DWORD keyBitsFromFlags(const SymmetricAlg& info, DWORD flags) {
    DWORD bits = flags >> 16;
    if (bits == 0) {
        bits = info.defaultBits;
    }
    if (bits < info.minBits || bits > info.maxBits || (info.keyBytes == 0 && bits % 8 != 0)) {
        fail(NTE_BAD_FLAGS);
    }
    return bits;
}

}  // namespace

std::span<const SymmetricAlg> symmetricAlgs(bool enhanced) {
    if (enhanced) {
        return kEnhanced;
    }
    return kBase;
}

const SymmetricAlg* findSymmetric(ALG_ID alg, bool enhanced) {
    for (const auto& a : symmetricAlgs(enhanced)) {
        if (a.alg == alg) {
            return &a;
        }
    }
    return nullptr;
}

SessionKey::SessionKey(const SymmetricAlg* info, SecureBytes key, DWORD flags)
    : info_(info), key_(std::move(key)), flags_(flags) {
    if (info_->blockBytes != 0) {
        iv_.assign(info_->blockBytes, 0);
    }
    effectiveBits_ = static_cast<DWORD>(key_.size() * 8);
    if (info_->keyBytes == 0 && key_.size() == 5 && (flags & CRYPT_NO_SALT) == 0) {
        salt_.assign(kDefaultSaltBytes, 0);
        if (flags & CRYPT_CREATE_SALT) {
            randomBytes(salt_.data(), salt_.size());
        }
    }
}

std::unique_ptr<SessionKey> SessionKey::generate(ALG_ID alg, DWORD flags, bool enhanced) {
    const SymmetricAlg* info = findSymmetric(alg, enhanced);
    if (info == nullptr) {
        fail(NTE_BAD_ALGID);
    }
    const DWORD bits = keyBitsFromFlags(*info, flags);
    SecureBytes key(info->keyBytes != 0 ? info->keyBytes : bits / 8);
    randomBytes(key.data(), key.size());
    return std::unique_ptr<SessionKey>(new SessionKey(info, std::move(key), flags & 0xFFFFu));
}

std::unique_ptr<SessionKey> SessionKey::fromMaterial(ALG_ID alg, std::span<const std::uint8_t> key,
                                                     DWORD flags, bool enhanced) {
    const SymmetricAlg* info = findSymmetric(alg, enhanced);
    if (info == nullptr) {
        fail(NTE_BAD_ALGID);
    }
    std::size_t size = 0;
    if (info->keyBytes != 0) {
        size = info->keyBytes;
    } else if ((flags >> 16) != 0) {
        size = keyBitsFromFlags(*info, flags) / 8;
    } else {
        size = key.size();
        if (size * 8 < info->minBits || size * 8 > info->maxBits) {
            fail(NTE_BAD_DATA);
        }
    }
    if (key.size() < size) {
        fail(NTE_BAD_DATA);
    }
    return std::unique_ptr<SessionKey>(
        new SessionKey(info, SecureBytes(key.data(), size), flags & 0xFFFFu));
}

std::unique_ptr<SessionKey> SessionKey::duplicate() const {
    std::unique_ptr<SessionKey> copy(new SessionKey(info_, key_, flags_));
    copy->salt_ = salt_;
    copy->iv_ = iv_;
    copy->mode_ = mode_;
    copy->padding_ = padding_;
    copy->effectiveBits_ = effectiveBits_;
    copy->permissions_ = permissions_;
    return copy;
}

void SessionKey::start(bool encrypting) {
    const int direction = encrypting ? 1 : 0;
    if (ctx_ && direction_ == direction) {
        return;
    }
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(libContext(), cipherName(info_->alg, mode_), nullptr);
    if (cipher == nullptr) {
        fail(NTE_BAD_ALGID);
    }
    std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> owner(cipher, EVP_CIPHER_free);
    SecureBytes full(key_);
    full.append(salt_.view());
    ctx_.reset(EVP_CIPHER_CTX_new());
    if (!ctx_ || EVP_CipherInit_ex(ctx_.get(), cipher, nullptr, nullptr, nullptr, direction) != 1) {
        fail(NTE_FAIL);
    }
    if (info_->keyBytes == 0 &&
        EVP_CIPHER_CTX_set_key_length(ctx_.get(), static_cast<int>(full.size())) != 1) {
        fail(NTE_BAD_KEY);
    }
    if (info_->alg == CALG_RC2 &&
        EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_SET_RC2_KEY_BITS, static_cast<int>(effectiveBits_),
                            nullptr) != 1) {
        fail(NTE_BAD_KEY);
    }
    const bool withIv = info_->blockBytes != 0 && mode_ != CRYPT_MODE_ECB;
    if (EVP_CipherInit_ex(ctx_.get(), nullptr, nullptr, full.data(), withIv ? iv_.data() : nullptr,
                          direction) != 1) {
        fail(NTE_BAD_KEY);
    }
    // Padding is CryptoAPI's, added and checked here on the final call: OpenSSL would hold back
    // a whole block on non-final decryption, which CryptDecrypt does not do.
    EVP_CIPHER_CTX_set_padding(ctx_.get(), 0);
    direction_ = direction;
}

void SessionKey::reset() {
    // After the final call the key starts over with its IV, as CryptoAPI specifies.
    ctx_.reset();
    direction_ = -1;
}

void SessionKey::encrypt(bool final, std::uint8_t* data, DWORD* length, DWORD bufferLength) {
    const DWORD block = info_->blockBytes;
    DWORD need = *length;
    if (block != 0) {
        if (final) {
            need = (*length / block + 1) * block;
        } else if (*length % block != 0) {
            fail(NTE_BAD_DATA);
        }
    }
    if (data == nullptr) {
        *length = need;
        return;
    }
    if (bufferLength < need) {
        *length = need;
        failWin32(ERROR_MORE_DATA);
    }
    if (ctx_ && direction_ != 1) {
        fail(NTE_BAD_KEY_STATE);  // half-way through a decryption
    }
    if (block != 0 && final) {
        const auto pad = static_cast<std::uint8_t>(need - *length);
        std::memset(data + *length, pad, pad);
    }
    start(true);
    int out = 0;
    if (need != 0 && EVP_CipherUpdate(ctx_.get(), data, &out, data, static_cast<int>(need)) != 1) {
        reset();
        fail(NTE_FAIL);
    }
    *length = need;
    if (final) {
        reset();
    }
}

void SessionKey::decrypt(bool final, std::uint8_t* data, DWORD* length) {
    const DWORD block = info_->blockBytes;
    if (block != 0 && (*length % block != 0 || (final && *length == 0))) {
        fail(NTE_BAD_DATA);
    }
    if (ctx_ && direction_ != 0) {
        fail(NTE_BAD_KEY_STATE);
    }
    start(false);
    int out = 0;
    if (*length != 0 &&
        EVP_CipherUpdate(ctx_.get(), data, &out, data, static_cast<int>(*length)) != 1) {
        reset();
        fail(NTE_FAIL);
    }
    if (final) {
        reset();
        if (block != 0 && padding_ == PKCS5_PADDING) {
            const std::uint8_t pad = data[*length - 1];
            bool good = pad >= 1 && pad <= block;
            for (DWORD i = 0; good && i < pad; ++i) {
                good = data[*length - 1 - i] == pad;
            }
            if (!good) {
                fail(NTE_BAD_DATA);
            }
            *length -= pad;
        }
    }
}

void SessionKey::getParam(DWORD param, BYTE* data, DWORD* length) const {
    auto dword = [&](DWORD v) { copyOut(&v, sizeof v, data, length); };
    switch (param) {
        case KP_ALGID:
            return dword(info_->alg);
        case KP_KEYLEN:
            // The DES family counts its parity bits here (64, 128, 192).
            return dword(info_->keyBytes != 0 ? info_->keyBytes * 8
                                              : static_cast<DWORD>(key_.size() * 8));
        case KP_BLOCKLEN:
            return dword(info_->blockBytes * 8);
        case KP_EFFECTIVE_KEYLEN:
            return dword(effectiveBits_);
        case KP_PERMISSIONS:
            return dword(permissions_);
        case KP_MODE:
            if (info_->blockBytes == 0) {
                fail(NTE_BAD_TYPE);
            }
            return dword(mode_);
        case KP_MODE_BITS:
            return dword(info_->blockBytes * 8);
        case KP_PADDING:
            return dword(padding_);
        case KP_IV:
            if (info_->blockBytes == 0) {
                fail(NTE_BAD_TYPE);
            }
            return copyOut(iv_.data(), static_cast<DWORD>(iv_.size()), data, length);
        case KP_SALT:
            return copyOut(salt_.data(), static_cast<DWORD>(salt_.size()), data, length);
        default:
            fail(NTE_BAD_TYPE);
    }
}

void SessionKey::setParam(DWORD param, const BYTE* data) {
    if (data == nullptr) {
        failWin32(ERROR_INVALID_PARAMETER);
    }
    DWORD v = 0;
    std::memcpy(&v, data, sizeof v);
    switch (param) {
        case KP_IV:
            if (info_->blockBytes == 0) {
                fail(NTE_BAD_TYPE);
            }
            iv_.assign(data, data + info_->blockBytes);
            break;
        case KP_SALT:
            if (salt_.empty()) {
                fail(NTE_BAD_KEY);
            }
            std::copy_n(data, salt_.size(), salt_.begin());
            break;
        case KP_MODE:
            if (info_->blockBytes == 0 || (v != CRYPT_MODE_CBC && v != CRYPT_MODE_ECB)) {
                fail(NTE_BAD_DATA);
            }
            mode_ = v;
            break;
        case KP_PADDING:
            if (v != PKCS5_PADDING) {
                fail(NTE_BAD_DATA);
            }
            padding_ = v;
            break;
        case KP_EFFECTIVE_KEYLEN:
            if (info_->alg != CALG_RC2 || v < 40 || v > 1024) {
                fail(NTE_BAD_DATA);
            }
            effectiveBits_ = v;
            break;
        case KP_PERMISSIONS:
            permissions_ = v;
            break;
        default:
            fail(NTE_BAD_TYPE);
    }
    // A changed parameter takes effect from the next operation on.
    reset();
}

}  // namespace vantor::capi
