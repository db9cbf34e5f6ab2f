// DES, triple-DES CBC and retail MAC for the virtual card, on OpenSSL's low-level DES API (it is
// deprecated in OpenSSL 3 but still the plainest way to run single-DES block by block).
#include "card_crypto.h"

#include <openssl/crypto.h>
#include <openssl/des.h>

#include <cstring>

namespace cardsim {
namespace {

struct Schedules {
    DES_key_schedule k1{}, k2{}, k3{};
    explicit Schedules(std::span<const std::uint8_t> key24) {
        DES_cblock b{};
        std::memcpy(b, key24.data(), 8);
        DES_set_key_unchecked(&b, &k1);
        std::memcpy(b, key24.data() + 8, 8);
        DES_set_key_unchecked(&b, &k2);
        std::memcpy(b, key24.data() + 16, 8);
        DES_set_key_unchecked(&b, &k3);
        OPENSSL_cleanse(b, sizeof b);
    }
    ~Schedules() {
        OPENSSL_cleanse(&k1, sizeof k1);
        OPENSSL_cleanse(&k2, sizeof k2);
        OPENSSL_cleanse(&k3, sizeof k3);
    }
    Schedules(const Schedules&) = delete;
    Schedules& operator=(const Schedules&) = delete;
};

Bytes tdesCbc(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> data, int enc) {
    if (key24.size() != 24 || data.size() % 8 != 0) {
        return {};
    }
    Schedules ks(key24);
    Bytes out(data.size());
    DES_cblock iv{};
    DES_ede3_cbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &ks.k1, &ks.k2,
                         &ks.k3, &iv, enc);
    return out;
}

}  // namespace

Bytes expandKey(std::span<const std::uint8_t> key) {
    Bytes k;
    switch (key.size()) {
        case 8:
            for (int i = 0; i < 3; ++i)
                k.insert(k.end(), key.begin(), key.end());
            break;
        case 16:
            k.assign(key.begin(), key.end());
            k.insert(k.end(), key.begin(), key.begin() + 8);
            break;
        case 24:
            k.assign(key.begin(), key.end());
            break;
        default:
            break;
    }
    return k;
}

Bytes tdesCbcEncrypt(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> data) {
    return tdesCbc(key24, data, DES_ENCRYPT);
}

Bytes tdesCbcDecrypt(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> data) {
    return tdesCbc(key24, data, DES_DECRYPT);
}

Bytes retailMac(std::span<const std::uint8_t> key24, std::span<const std::uint8_t> data) {
    if (key24.size() != 24) {
        return {};
    }
    Bytes input(data.begin(), data.end());
    padZero(input);
    if (input.empty()) {
        input.assign(8, 0);
    }
    Schedules ks(key24);
    DES_cblock chain{};
    for (std::size_t off = 0; off < input.size(); off += 8) {
        for (int i = 0; i < 8; ++i)
            chain[i] ^= input[off + i];
        DES_ecb_encrypt(&chain, &chain, &ks.k1, DES_ENCRYPT);
    }
    DES_ecb_encrypt(&chain, &chain, &ks.k2, DES_DECRYPT);
    DES_ecb_encrypt(&chain, &chain, &ks.k3, DES_ENCRYPT);
    Bytes mac(chain, chain + 8);
    OPENSSL_cleanse(chain, sizeof chain);
    wipe(input);
    return mac;
}

Bytes padIso(std::span<const std::uint8_t> data) {
    Bytes out(data.begin(), data.end());
    out.push_back(0x80);
    while (out.size() % 8 != 0)
        out.push_back(0x00);
    return out;
}

bool unpadIso(Bytes& data) {
    std::size_t n = data.size();
    while (n > 0 && data[n - 1] == 0x00)
        --n;
    if (n == 0 || data[n - 1] != 0x80 || data.size() - n >= 8) {
        return false;
    }
    data.resize(n - 1);
    return true;
}

void padZero(Bytes& data) {
    while (data.size() % 8 != 0)
        data.push_back(0x00);
}

void wipe(Bytes& data) {
    if (!data.empty()) {
        OPENSSL_cleanse(data.data(), data.size());
    }
    data.clear();
}

}  // namespace cardsim
