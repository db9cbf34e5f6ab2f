// A symmetric session key of the software provider (RC2, RC4, DES, 3DES_112, 3DES): key
// material in wiping storage, CryptoAPI's key parameters, and CryptEncrypt/CryptDecrypt
// semantics (CBC by default, zero IV, PKCS#5 padding added and checked on the final call).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "ossl.h"
#include "vantor/secure_bytes.h"
#include "win/wincrypt.h"

namespace vantor::capi {

struct SymmetricAlg {
    ALG_ID alg;
    const char* name;                     // PROV_ENUMALGS name
    const char* longName;                 // PROV_ENUMALGS_EX long name
    DWORD blockBytes;                     // 0 for the stream cipher
    DWORD minBits, maxBits, defaultBits;  // key lengths without parity bits
    DWORD keyBytes;  // fixed key size with parity (DES family), 0 when variable
};

// The algorithm's description for the given provider flavour; null when not offered.
const SymmetricAlg* findSymmetric(ALG_ID alg, bool enhanced);
std::span<const SymmetricAlg> symmetricAlgs(bool enhanced);

class SessionKey final {
  public:
    // Key bits come from the upper 16 bits of flags (0: the default length); the material is
    // random. NTE_BAD_ALGID / NTE_BAD_FLAGS for what the flavour does not offer.
    static std::unique_ptr<SessionKey> generate(ALG_ID alg, DWORD flags, bool enhanced);
    // From given material (derivation, SIMPLEBLOB, PLAINTEXTKEYBLOB); bits 0 means material's
    // full length for variable-length ciphers.
    static std::unique_ptr<SessionKey> fromMaterial(ALG_ID alg, std::span<const std::uint8_t> key,
                                                    DWORD flags, bool enhanced);
    SessionKey(const SessionKey&) = delete;
    SessionKey& operator=(const SessionKey&) = delete;

    ALG_ID alg() const { return info_->alg; }
    const SecureBytes& material() const { return key_; }
    DWORD flags() const { return flags_; }
    DWORD blockBytes() const { return info_->blockBytes; }

    // In-place encryption: data holds *length bytes in a buffer of bufferLength; the final call
    // adds the padding (block ciphers). A too short buffer gives the size and ERROR_MORE_DATA.
    void encrypt(bool final, std::uint8_t* data, DWORD* length, DWORD bufferLength);
    void decrypt(bool final, std::uint8_t* data, DWORD* length);

    void getParam(DWORD param, BYTE* data, DWORD* length) const;
    void setParam(DWORD param, const BYTE* data);
    std::unique_ptr<SessionKey> duplicate() const;

  private:
    SessionKey(const SymmetricAlg* info, SecureBytes key, DWORD flags);
    void start(bool encrypting);
    void reset();

    const SymmetricAlg* info_;
    SecureBytes key_;
    SecureBytes salt_;
    SecureBytes iv_;
    DWORD flags_;
    DWORD mode_ = CRYPT_MODE_CBC;
    DWORD padding_ = PKCS5_PADDING;
    DWORD effectiveBits_ = 0;
    DWORD permissions_ = 0xFFFFFFFFu;
    CipherCtxPtr ctx_;    // live between non-final calls
    int direction_ = -1;  // 1 encrypting, 0 decrypting, -1 idle
};

}  // namespace vantor::capi
