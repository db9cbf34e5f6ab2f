// OpenSSL library context of the software provider and the byte-order helpers.
#include "ossl.h"

#include <openssl/provider.h>

#include <algorithm>
#include <mutex>

#include "capi_error.h"

namespace vantor::capi {

namespace {

struct Context {
    OSSL_LIB_CTX* ctx = nullptr;
    Context() {
        ctx = OSSL_LIB_CTX_new();
        if (ctx == nullptr) {
            return;
        }
        // The default provider carries RSA, the hashes and 3DES; RC2, RC4 and single DES
        // live in the legacy provider. Without it those algorithms are simply not offered.
        if (OSSL_PROVIDER_load(ctx, "default") == nullptr) {
            OSSL_LIB_CTX_free(ctx);
            ctx = nullptr;
            return;
        }
        OSSL_PROVIDER_load(ctx, "legacy");
    }
    // The context lives until process exit: providers and keys may still refer to it from
    // static destructors of the application.
};

}  // namespace

OSSL_LIB_CTX* libContext() {
    static Context* context = new Context();
    return context->ctx;
}

BnPtr bnFromLittleEndian(std::span<const std::uint8_t> bytes) {
    BnPtr n(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    if (!n) {
        throw std::bad_alloc();
    }
    return n;
}

bool bnToLittleEndian(const BIGNUM* n, std::uint8_t* out, std::size_t size) {
    if (static_cast<std::size_t>(BN_num_bytes(n)) > size) {
        return false;
    }
    return BN_bn2lebinpad(n, out, static_cast<int>(size)) == static_cast<int>(size);
}

void reverseBytes(std::uint8_t* data, std::size_t size) {
    std::reverse(data, data + size);
}

void copyOut(const void* data, DWORD size, BYTE* buffer, DWORD* length) {
    if (length == nullptr) {
        failWin32(ERROR_INVALID_PARAMETER);
    }
    if (buffer == nullptr) {
        *length = size;
        return;
    }
    if (*length < size) {
        *length = size;
        failWin32(ERROR_MORE_DATA);
    }
    std::copy_n(static_cast<const BYTE*>(data), size, buffer);
    *length = size;
}

}  // namespace vantor::capi
