// RSA encryption with the token key's public half (in the software provider) and decryption on
// the token.
#pragma once

#include "provider_context.h"

namespace tvx {

// The token's public key imported into the context's software provider as a CALG_RSA_KEYX key;
// destroyed with the object. error() is the export's code when loading failed.
class TemporaryPublicKey final {
  public:
    explicit TemporaryPublicKey(ProviderContext& ctx);
    ~TemporaryPublicKey();
    TemporaryPublicKey(const TemporaryPublicKey&) = delete;
    TemporaryPublicKey& operator=(const TemporaryPublicKey&) = delete;
    DWORD error() const { return error_; }
    HCRYPTKEY get() const { return key_; }
    DWORD bits() const { return bits_; }

  private:
    HCRYPTKEY key_ = 0;
    DWORD bits_ = 0;
    DWORD error_ = 0;
};

// CPEncrypt of the card key.
DWORD encryptWithCardKey(ProviderContext& ctx, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                         DWORD* length, DWORD bufferLength);
// CPExportKey of a software session key wrapped for the card key: always a 140-byte SIMPLEBLOB.
DWORD exportWrappedForCardKey(ProviderContext& ctx, HCRYPTKEY key, DWORD blobType, DWORD flags,
                              BYTE* data, DWORD* length);
// CPDecrypt of the card key: the input reversed to big-endian, decrypted on the token.
DWORD decryptWithCardKey(ProviderContext& ctx, BYTE* data, DWORD* length);
// C_Decrypt with CKM_RSA_PKCS and the cached key of the card, in place; length becomes the
// plaintext's. 0, ERR_NO_BOUND_KEY or rv + 22000.
DWORD tokenDecrypt(CardSession& card, BYTE* data, DWORD* length);

}  // namespace tvx
