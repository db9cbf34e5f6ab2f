// RSA encryption and decryption with the token key: encryption runs in the software provider on
// the token's public key, decryption runs on the token.
#include "card_crypt.h"

#include "card_keys.h"
#include "key_blobs.h"
#include "provider_codes.h"
#include "win/errhandlingapi.h"

#include <vantor/secure_bytes.h>

#include <algorithm>
#include <cstring>

namespace tvx {

TemporaryPublicKey::TemporaryPublicKey(ProviderContext& ctx) {
    // 20 bytes of header and up to 1024 bytes of modulus.
    std::vector<BYTE> blob(1044);
    DWORD length = static_cast<DWORD>(blob.size());
    error_ = exportCardPublicKey(ctx, 0, PUBLICKEYBLOB, blob.data(), &length);
    if (error_ != 0) {
        return;
    }
    const DWORD keyx = CALG_RSA_KEYX;
    std::memcpy(blob.data() + 4, &keyx, 4);
    std::memcpy(&bits_, blob.data() + 12, 4);
    if (!CryptImportKey(ctx.softProv, blob.data(), length, 0, 0, &key_)) {
        const DWORD error = GetLastError();
        error_ = error != 0 ? error : static_cast<DWORD>(NTE_FAIL);
        key_ = 0;
    }
}

TemporaryPublicKey::~TemporaryPublicKey() {
    if (key_ != 0) {
        CryptDestroyKey(key_);
    }
}

DWORD encryptWithCardKey(ProviderContext& ctx, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                         DWORD* length, DWORD bufferLength) {
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    TemporaryPublicKey key(ctx);
    if (key.error() != 0) {
        return key.error();
    }
    const DWORD n = key.bits() / 8;
    if (data == nullptr) {
        *length = n;
        return 0;
    }
    if (bufferLength < n) {
        *length = n;
        return ERROR_MORE_DATA;
    }
    if (!CryptEncrypt(key.get(), hash, final, flags, data, length, bufferLength)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : static_cast<DWORD>(NTE_FAIL);
    }
    return 0;
}

DWORD exportWrappedForCardKey(ProviderContext& ctx, HCRYPTKEY key, DWORD blobType, DWORD flags,
                              BYTE* data, DWORD* length) {
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (data == nullptr) {
        *length = kIdentitySimpleBlobLength;
        return 0;
    }
    if (*length < kIdentitySimpleBlobLength) {
        *length = kIdentitySimpleBlobLength;
        return ERROR_MORE_DATA;
    }
    TemporaryPublicKey wrap(ctx);
    if (wrap.error() != 0) {
        return wrap.error();
    }
    const DWORD capacity = *length;
    DWORD written = capacity;
    if (!CryptExportKey(key, wrap.get(), blobType, flags, data, &written)) {
        const DWORD error = GetLastError();
        *length = written;
        return error != 0 ? error : static_cast<DWORD>(NTE_FAIL);
    }
    // Only a SIMPLEBLOB for a 1024-bit RSA key exchange key is what callers of this path read.
    const BYTE keyx[4] = {0x00, 0xA4, 0x00, 0x00};
    if (written != kIdentitySimpleBlobLength || data[0] != SIMPLEBLOB ||
        std::memcmp(data + 8, keyx, 4) != 0) {
        std::fill(data, data + std::min(written, capacity), BYTE{0});
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    *length = written;
    return 0;
}

DWORD tokenDecrypt(CardSession& card, BYTE* data, DWORD* length) {
    const auto key = KeyCache::instance().get(&card);
    if (!key) {
        return ERR_NO_BOUND_KEY;
    }
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = p11->C_DecryptInit(card.session, &mechanism, key->privateKey);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    // The plaintext goes through a wiped buffer: a module need not support overlapping input
    // and output, and the plaintext is usually a session key.
    vantor::SecureBytes plain(static_cast<std::size_t>(*length));
    CK_ULONG plainLength = static_cast<CK_ULONG>(plain.size());
    rv = p11->C_Decrypt(card.session, data, *length, plain.data(), &plainLength);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    if (plainLength > *length) {
        return p11Error(CKR_GENERAL_ERROR);
    }
    std::memcpy(data, plain.data(), plainLength);
    *length = static_cast<DWORD>(plainLength);
    return 0;
}

DWORD decryptWithCardKey(ProviderContext& ctx, BYTE* data, DWORD* length) {
    if (length == nullptr || (data == nullptr && *length != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (ctx.bind() != 0) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    std::reverse(data, data + *length);
    // Below one 1024-bit block nothing can be a ciphertext of the token key.
    if (*length < 128 || tokenDecrypt(*ctx.card, data, length) != 0) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    return 0;
}

}  // namespace tvx
