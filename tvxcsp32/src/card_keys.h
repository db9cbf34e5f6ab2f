// The token key of a context: signing with the identity-key formatting, and its public key as
// a PUBLICKEYBLOB.
#pragma once

#include "provider_context.h"

namespace tvx {

// CPSignHash: BindCard, the software provider's PKCS#1 block for the hash, C_Sign of its
// payload on the token, the signature reversed for CryptoAPI.
DWORD signHash(ProviderContext& ctx, HCRYPTHASH hash, LPCWSTR description, DWORD flags,
               BYTE* signature, DWORD* length);
// CPExportKey of the card key: hPubKey 0 and PUBLICKEYBLOB only.
DWORD exportCardPublicKey(ProviderContext& ctx, HCRYPTKEY pubKey, DWORD blobType, BYTE* data,
                          DWORD* length);

// The token key's modulus and public exponent, big-endian: from the private key, else from the
// public key object with its ID. 0, ERR_NO_BOUND_KEY, NTE_BAD_KEYSET or rv + 22000.
DWORD readPublicKey(CardSession& card, std::vector<std::uint8_t>* modulus,
                    std::vector<std::uint8_t>* exponent);

// Generates the key pair of the label on the token (the BindCard hook) and caches its key.
DWORD generateKeyPair(CardSession& card, const std::string& label, DWORD keyBits);
// CPGenKey's token path: the size from the flags, BindCard (which generates for a new key set).
DWORD genCardKey(ProviderContext& ctx, DWORD flags, HCRYPTKEY* key);

// The payload of a big-endian PKCS#1 v1.5 block (type 1 or 2): the bytes behind the first zero
// from the third byte on; nullopt when the block is not one.
std::optional<std::vector<std::uint8_t>> pkcs1Payload(const std::vector<std::uint8_t>& block);

}  // namespace tvx
