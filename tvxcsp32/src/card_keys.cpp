// The token key of a context: signing (the software provider formats, the token signs) and the
// public key export.
#include "card_keys.h"

#include "card_objects.h"
#include "container_name.h"
#include "provider_codes.h"
#include "win/errhandlingapi.h"

#include <algorithm>
#include <cstring>

namespace tvx {

std::optional<std::vector<std::uint8_t>> pkcs1Payload(const std::vector<std::uint8_t>& block) {
    if (block.size() < 11 || block[0] != 0x00 || (block[1] != 0x01 && block[1] != 0x02)) {
        return std::nullopt;
    }
    const auto zero = std::find(block.begin() + 2, block.end(), 0x00);
    if (zero == block.end()) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(zero + 1, block.end());
}

DWORD signHash(ProviderContext& ctx, HCRYPTHASH hash, LPCWSTR description, DWORD flags,
               BYTE* signature, DWORD* length) {
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (ctx.bind() != 0) {
        return kWrongChv;
    }
    const auto key = KeyCache::instance().get(ctx.card.get());
    if (!key) {
        return kWrongChv;
    }
    const DWORD n = key->modulusBits / 8;
    if (signature == nullptr) {
        *length = n;
        return 0;
    }
    if (*length < n) {
        *length = n;
        return ERROR_MORE_DATA;
    }
    // The identity key's "signature" is the padded block itself, little-endian.
    std::vector<std::uint8_t> block(std::max<DWORD>(n, 256));
    DWORD blockLength = static_cast<DWORD>(block.size());
    if (!CryptSignHashW(hash, AT_KEYEXCHANGE, description, flags, block.data(), &blockLength)) {
        return GetLastError();
    }
    block.resize(blockLength);
    std::reverse(block.begin(), block.end());
    const auto payload = pkcs1Payload(block);
    if (!payload) {
        return static_cast<DWORD>(NTE_BAD_HASH);
    }
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (p11->C_SignInit(ctx.card->session, &mechanism, key->privateKey) != CKR_OK) {
        return static_cast<DWORD>(NTE_BAD_HASH);
    }
    CK_ULONG signedLength = n;
    if (p11->C_Sign(ctx.card->session, const_cast<CK_BYTE_PTR>(payload->data()),
                    static_cast<CK_ULONG>(payload->size()), signature, &signedLength) != CKR_OK) {
        return static_cast<DWORD>(NTE_BAD_HASH);
    }
    std::reverse(signature, signature + signedLength);
    *length = static_cast<DWORD>(signedLength);
    return 0;
}

namespace {

// CKA_MODULUS and CKA_PUBLIC_EXPONENT of an object, lengths first.
CK_RV readModulusAndExponent(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                             std::vector<std::uint8_t>* modulus,
                             std::vector<std::uint8_t>* exponent) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_ATTRIBUTE attrs[] = {{CKA_MODULUS, nullptr, 0}, {CKA_PUBLIC_EXPONENT, nullptr, 0}};
    CK_RV rv = p11->C_GetAttributeValue(session, object, attrs, 2);
    if (rv != CKR_OK) {
        return rv;
    }
    // At most a 8192-bit modulus; the length is the module's word.
    if (attrs[0].ulValueLen == 0 || attrs[0].ulValueLen > 1024 || attrs[1].ulValueLen > 1024) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    modulus->resize(attrs[0].ulValueLen);
    exponent->resize(attrs[1].ulValueLen);
    attrs[0].pValue = modulus->data();
    attrs[1].pValue = exponent->data();
    rv = p11->C_GetAttributeValue(session, object, attrs, 2);
    modulus->resize(attrs[0].ulValueLen);
    exponent->resize(attrs[1].ulValueLen);
    return rv;
}

}  // namespace

DWORD readPublicKey(CardSession& card, std::vector<std::uint8_t>* modulus,
                    std::vector<std::uint8_t>* exponent) {
    const auto key = KeyCache::instance().get(&card);
    if (!key) {
        return ERR_NO_BOUND_KEY;
    }
    if (readModulusAndExponent(card.session, key->privateKey, modulus, exponent) == CKR_OK) {
        return 0;
    }
    // A module that keeps the private key's public values to itself: the public key object
    // with the same ID has them.
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_ATTRIBUTE idLength{CKA_ID, nullptr, 0};
    CK_RV rv = p11->C_GetAttributeValue(card.session, key->privateKey, &idLength, 1);
    if (rv != CKR_OK || idLength.ulValueLen > 1024) {
        return p11Error(rv != CKR_OK ? rv : CKR_ATTRIBUTE_VALUE_INVALID);
    }
    std::vector<std::uint8_t> id(idLength.ulValueLen);
    CK_ATTRIBUTE idValue{CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())};
    rv = p11->C_GetAttributeValue(card.session, key->privateKey, &idValue, 1);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &publicClass, sizeof publicClass},
        {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())},
    };
    CK_OBJECT_HANDLE publicKey = 0;
    rv = findOneObject(card.session, search, 2, &publicKey);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    if (publicKey == 0) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    rv = readModulusAndExponent(card.session, publicKey, modulus, exponent);
    return rv == CKR_OK ? 0 : p11Error(rv);
}

DWORD exportCardPublicKey(ProviderContext& ctx, HCRYPTKEY pubKey, DWORD blobType, BYTE* data,
                          DWORD* length) {
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (pubKey != 0) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    if (blobType != PUBLICKEYBLOB) {
        return static_cast<DWORD>(NTE_BAD_KEY_STATE);
    }
    if (ctx.bind() != 0) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    if (validateKey(*ctx.card) != 0) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    std::vector<std::uint8_t> modulus;
    std::vector<std::uint8_t> exponent;
    if (readPublicKey(*ctx.card, &modulus, &exponent) != 0) {
        return static_cast<DWORD>(NTE_BAD_KEY_STATE);
    }
    const DWORD size = 20 + static_cast<DWORD>(modulus.size());
    if (data == nullptr) {
        *length = size;
        return 0;
    }
    if (*length < size) {
        *length = size;
        return ERROR_MORE_DATA;
    }
    // The exponent as a little-endian DWORD when it has 1 to 4 bytes; 65537 when that is 0.
    DWORD pubexp = 0;
    if (!exponent.empty() && exponent.size() <= 4) {
        for (std::uint8_t b : exponent) {
            pubexp = (pubexp << 8) | b;
        }
    }
    if (pubexp == 0) {
        pubexp = 65537;
    }
    const DWORD bits = static_cast<DWORD>(modulus.size() * 8);
    const BYTE header[8] = {PUBLICKEYBLOB, 2, 0, 0, 0x00, 0x24, 0x00, 0x00};
    std::memcpy(data, header, 8);
    std::memcpy(data + 8, "RSA1", 4);
    std::memcpy(data + 12, &bits, 4);
    std::memcpy(data + 16, &pubexp, 4);
    std::reverse_copy(modulus.begin(), modulus.end(), data + 20);
    *length = size;
    return 0;
}

}  // namespace tvx

namespace tvx {

DWORD generateKeyPair(CardSession& card, const std::string& label, DWORD keyBits) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    std::vector<std::uint8_t> id = percentDecode(label);
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = keyBits;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    auto* text = reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(label.data()));
    // No CKA_TOKEN for the public key: the module decides where it lives.
    CK_ATTRIBUTE pub[] = {
        {CKA_ENCRYPT, &yes, sizeof yes},
        {CKA_VERIFY, &yes, sizeof yes},
        {CKA_WRAP, &yes, sizeof yes},
        {CKA_MODULUS_BITS, &bits, sizeof bits},
        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
        {CKA_LABEL, text, label.size()},
        {CKA_ID, id.data(), id.size()},
    };
    CK_ATTRIBUTE priv[] = {
        {CKA_TOKEN, &yes, sizeof yes},     {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes}, {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_SIGN, &yes, sizeof yes},      {CKA_UNWRAP, &yes, sizeof yes},
        {CKA_LABEL, text, label.size()},   {CKA_ID, id.data(), id.size()},
    };
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    const CK_RV rv =
        p11->C_GenerateKeyPair(card.session, &mechanism, pub, 7, priv, 8, &publicKey, &privateKey);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    KeyCache::instance().put(&card, {privateKey, keyBits});
    return 0;
}

DWORD genCardKey(ProviderContext& ctx, DWORD flags, HCRYPTKEY* key) {
    if (key == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD size = (flags >> 16) != 0 ? (flags >> 16) : 1024;
    if (size < 1024 || size > 2048 || size % 1024 != 0) {
        return static_cast<DWORD>(NTE_BAD_FLAGS);
    }
    ctx.keyBits = size;
    if (ctx.bind() != 0) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    *key = CARD_KEY_HANDLE;
    return 0;
}

}  // namespace tvx
