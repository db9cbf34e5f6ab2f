// Triple-DES CBC and the retail MAC on OpenSSL's EVP ciphers DES-EDE3-CBC and DES-EDE-CBC. Both
// are in the default provider; plain single DES is only in the legacy one, so single DES runs as
// two-key triple DES with K1 = K2 (encrypt-decrypt-encrypt under one key is DES under that key).
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>
#include <string>

#include "crypto/des.h"

namespace cardolo::crypto {
namespace {

constexpr std::size_t kBlock = 8;

struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const noexcept { EVP_CIPHER_free(cipher); }
};
using FetchedCipher = std::unique_ptr<EVP_CIPHER, CipherFree>;

FetchedCipher fetchCipher(const char* name) {
    FetchedCipher cipher(EVP_CIPHER_fetch(nullptr, name, nullptr));
    if (!cipher) {
        throw std::runtime_error(std::string("OpenSSL offers no ") + name);
    }
    return cipher;
}

// Fetched once while the library is loaded: a fetch searches the provider store, which costs
// more than the cipher work of a short APDU. Released when the library is unloaded (hosts load
// and free it repeatedly) or the process ends; the fetch itself initialises OpenSSL first, so
// that release always comes before OpenSSL's own exit-time cleanup.
const EVP_CIPHER* threeKeyCbc() {
    static const FetchedCipher cipher = fetchCipher("DES-EDE3-CBC");
    return cipher.get();
}

const EVP_CIPHER* twoKeyCbc() {
    static const FetchedCipher cipher = fetchCipher("DES-EDE-CBC");
    return cipher.get();
}

// A stack buffer for key material and chaining values, cleansed on every way out of its scope.
template <std::size_t N>
struct WipedBytes {
    std::uint8_t bytes[N] = {};
    WipedBytes() = default;
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;
    ~WipedBytes() { OPENSSL_cleanse(bytes, N); }
};

struct CtxFree {
    // Freeing the context clears the provider's key schedule before releasing it.
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};

// One keyed cipher run over whole blocks, without padding; the key schedule lives as long as the
// object.
class BlockCipher final {
  public:
    BlockCipher(const EVP_CIPHER* cipher, const std::uint8_t* key, const std::uint8_t* iv,
                bool encrypt)
        : ctx_(EVP_CIPHER_CTX_new()) {
        if (!ctx_ ||
            EVP_CipherInit_ex2(ctx_.get(), cipher, key, iv, encrypt ? 1 : 0, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) != 1) {
            throw std::runtime_error("OpenSSL cannot set up triple DES");
        }
    }

    // in and out hold size bytes, a multiple of 8; they may be the same buffer. The chaining
    // value carries over from one call to the next.
    void run(const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
        int written = 0;
        if (size == 0) {
            return;
        }
        if (size > static_cast<std::size_t>(INT_MAX - kBlock) ||
            EVP_CipherUpdate(ctx_.get(), out, &written, in, static_cast<int>(size)) != 1 ||
            static_cast<std::size_t>(written) != size) {
            throw std::runtime_error("OpenSSL triple DES failed");
        }
    }

  private:
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx_;
};

void checkBlocks(std::span<const std::uint8_t> data) {
    if (data.size() % kBlock != 0) {
        throw std::invalid_argument("data length is not a multiple of 8");
    }
}

SecureBytes tdesCbc(std::span<const std::uint8_t, 24> key, std::span<const std::uint8_t> data,
                    bool encrypt) {
    checkBlocks(data);
    SecureBytes out(data.size());
    if (data.empty()) {
        return out;
    }
    const std::uint8_t zeroIv[kBlock] = {};
    BlockCipher cipher(threeKeyCbc(), key.data(), zeroIv, encrypt);
    cipher.run(data.data(), out.data(), data.size());
    return out;
}

}  // namespace

SecureBytes expandKey(std::span<const std::uint8_t> key) {
    SecureBytes out;
    out.reserve(24);
    switch (key.size()) {
        case 8:  // K1 K1 K1: triple DES that equals single DES
            out.append(key);
            out.append(key);
            out.append(key);
            break;
        case 16:  // K1 K2 K1: the two-key form
            out.append(key);
            out.append(key.first(8));
            break;
        case 24:
            out.append(key);
            break;
        default:
            throw std::invalid_argument("key length must be 8, 16 or 24 bytes");
    }
    return out;
}

SecureBytes tdesCbcEncrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data) {
    return tdesCbc(key, data, true);
}

SecureBytes tdesCbcDecrypt(std::span<const std::uint8_t, 24> key,
                           std::span<const std::uint8_t> data) {
    return tdesCbc(key, data, false);
}

Block retailMac(std::span<const std::uint8_t, 24> key, std::span<const std::uint8_t> data) {
    if (data.empty()) {
        throw std::invalid_argument("MAC input is empty");
    }
    checkBlocks(data);
    // With H the single-DES CBC chaining value before the last block B, the MAC is
    // E_K3(D_K2(E_K1(H xor B))): exactly triple-DES CBC under K1 K2 K3 with IV H over B. So the
    // leading blocks go through single DES (two-key triple DES under K1 K1) and only the last one
    // through triple DES.
    WipedBytes<kBlock> chain;
    const std::size_t leading = data.size() - kBlock;
    if (leading > 0) {
        WipedBytes<2 * kBlock> singleKey;
        std::copy_n(key.begin(), kBlock, singleKey.bytes);
        std::copy_n(key.begin(), kBlock, singleKey.bytes + kBlock);
        BlockCipher k1(twoKeyCbc(), singleKey.bytes, chain.bytes, true);
        // Only the last cipher block is needed: run through a small buffer a chunk at a time.
        WipedBytes<16 * kBlock> scratch;
        for (std::size_t off = 0; off < leading; off += sizeof scratch.bytes) {
            const std::size_t n = std::min(sizeof scratch.bytes, leading - off);
            k1.run(data.data() + off, scratch.bytes, n);
            std::copy_n(scratch.bytes + n - kBlock, kBlock, chain.bytes);
        }
    }
    Block mac{};
    BlockCipher k123(threeKeyCbc(), key.data(), chain.bytes, true);
    k123.run(data.data() + leading, mac.data(), kBlock);
    return mac;
}

}  // namespace cardolo::crypto
