// CPImportKey's token paths: SIMPLEBLOB unwrap on the token and private key import.
#include "card_import.h"

#include "card_crypt.h"
#include "card_objects.h"
#include "container_name.h"
#include "key_blobs.h"
#include "provider_codes.h"
#include "win/errhandlingapi.h"

#include <algorithm>
#include <vector>

namespace tvx {

DWORD importSimpleBlob(ProviderContext& ctx, const BYTE* data, DWORD length, DWORD flags,
                       HCRYPTKEY* key) {
    if (key == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (checkSimpleBlob(length, 0) != 0) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    if (ctx.bind() != 0) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    const auto cached = KeyCache::instance().get(ctx.card.get());
    if (!cached) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    const DWORD n = cached->modulusBits / 8;
    if (checkSimpleBlob(length, n) != 0) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    // The encrypted block, big-endian for the token; it becomes the session key in place.
    vantor::SecureBytes block(data + kSimpleHeaderLength, n);
    std::reverse(block.begin(), block.end());
    DWORD keyLength = n;
    if (tokenDecrypt(*ctx.card, block.data(), &keyLength) != 0) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    vantor::SecureBytes blob;
    const DWORD built =
        identitySimpleBlob({data, kSimpleHeaderLength}, {block.data(), keyLength}, &blob);
    if (built != 0) {
        return built;
    }
    if (!CryptImportKey(ctx.softProv, blob.data(), static_cast<DWORD>(blob.size()), ctx.identityKey,
                        flags, key)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : static_cast<DWORD>(NTE_FAIL);
    }
    return 0;
}

}  // namespace tvx

namespace tvx {

DWORD importPrivateKey(ProviderContext& ctx, const BYTE* data, DWORD length, HCRYPTKEY* key) {
    if (key == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    RsaPrivateParts parts;
    if (parsePrivateKeyBlob({data, length}, &parts) != 0) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    // The import marker: BindCard neither looks up nor generates the label's key.
    if (!ctx.containerName || ctx.bind(kImportMarker) != 0) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    std::vector<std::uint8_t> id = percentDecode(ctx.label);
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    auto* text = reinterpret_cast<CK_UTF8CHAR*>(ctx.label.data());
    auto attr = [](CK_ATTRIBUTE_TYPE type, auto& bytes) {
        return CK_ATTRIBUTE{type, bytes.data(), static_cast<CK_ULONG>(bytes.size())};
    };
    CK_ATTRIBUTE object[] = {
        attr(CKA_ID, id),
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_SIGN, &yes, sizeof yes},
        {CKA_UNWRAP, &yes, sizeof yes},
        {CKA_LABEL, text, static_cast<CK_ULONG>(ctx.label.size())},
        attr(CKA_MODULUS, parts.modulus),
        attr(CKA_PUBLIC_EXPONENT, parts.publicExponent),
        attr(CKA_PRIVATE_EXPONENT, parts.privateExponent),
        attr(CKA_PRIME_1, parts.prime1),
        attr(CKA_PRIME_2, parts.prime2),
        attr(CKA_EXPONENT_1, parts.exponent1),
        attr(CKA_EXPONENT_2, parts.exponent2),
        attr(CKA_COEFFICIENT, parts.coefficient),
    };
    // The first three attributes name the key this one replaces.
    CK_OBJECT_HANDLE created = 0;
    if (replaceObject(ctx.card->session, object, 3, object, 18, &created) != CKR_OK) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    KeyCache::instance().put(ctx.card.get(), {created, parts.bits});
    ctx.flags &= ~static_cast<DWORD>(CRYPT_NEWKEYSET);
    *key = CARD_KEY_HANDLE;
    return 0;
}

}  // namespace tvx
