// Fuzz target over key blob import: the first byte chooses whether an exchange key is passed
// (for SIMPLEBLOBs), the rest is the blob, handed over in a buffer of exactly its length.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "win/wincrypt.h"

namespace {

struct Target {
    HCRYPTPROV prov = 0;
    HCRYPTKEY exchange = 0;
    Target() {
        // A verify context: imported pairs stay in memory, nothing reaches a key store.
        if (!CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT) ||
            !CryptGenKey(prov, AT_KEYEXCHANGE, 512u << 16, &exchange)) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Target target;
    if (size < 1) {
        return 0;
    }
    const HCRYPTKEY pub = (data[0] & 1) ? target.exchange : 0;
    std::vector<std::uint8_t> blob(data + 1, data + size);
    HCRYPTKEY key = 0;
    if (CryptImportKey(target.prov, blob.data(), static_cast<DWORD>(blob.size()), pub,
                       CRYPT_EXPORTABLE, &key)) {
        // Whatever imported must export again within its own size rules.
        DWORD length = 0;
        CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length);
        CryptDestroyKey(key);
    }
    return 0;
}
