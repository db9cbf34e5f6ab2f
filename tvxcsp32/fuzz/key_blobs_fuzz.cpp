// Fuzz target: the key blobs an application hands the provider (PRIVATEKEYBLOB, SIMPLEBLOB, the
// certificate header), with the invariants that an accepted blob was long enough for what was
// taken from it and the rebuilt SIMPLEBLOB has its fixed layout.
#include "key_blobs.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    tvx::RsaPrivateParts parts;
    if (tvx::parsePrivateKeyBlob(input, &parts) == 0) {
        const std::size_t full = parts.bits / 8;
        if (size < tvx::privateKeyBlobLength(parts.bits) || parts.modulus.size() != full ||
            parts.privateExponent.size() != full || parts.coefficient.size() != full / 2 ||
            parts.publicExponent.size() > 4) {
            std::abort();
        }
    }

    // The first byte picks the token key's modulus length, the rest is the blob.
    if (size >= 1) {
        const DWORD modulusBytes = data[0] % 2 == 0 ? 128 : 256;
        const auto blob = input.subspan(1);
        if (tvx::checkSimpleBlob(static_cast<DWORD>(blob.size()), modulusBytes) == 0) {
            if (blob.size() < tvx::kSimpleHeaderLength + modulusBytes) {
                std::abort();
            }
            // The "plaintext" a token could return is any length up to the modulus length.
            const std::size_t keyLength = data[0] % (modulusBytes + 1);
            vantor::SecureBytes rebuilt;
            const DWORD result = tvx::identitySimpleBlob(
                blob.first(tvx::kSimpleHeaderLength),
                blob.subspan(tvx::kSimpleHeaderLength, keyLength), &rebuilt);
            if (result == 0 && (keyLength > tvx::kMaxSessionKeyLength ||
                                rebuilt.size() != tvx::kIdentitySimpleBlobLength ||
                                rebuilt[tvx::kSimpleHeaderLength + 126] != 0x02 ||
                                rebuilt[tvx::kSimpleHeaderLength + 127] != 0x00)) {
                std::abort();
            }
        }
    }

    DWORD length = 0;
    if (tvx::certificateLength(input, &length) == 0 && (size < 2 || data[0] != 0x30)) {
        std::abort();
    }
    return 0;
}
