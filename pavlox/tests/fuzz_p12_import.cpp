// Fuzz target: any bytes read as the import's PKCS#12 file (the first byte gives the length of
// a password taken from the bytes after it), and the templates built from what reads.
#include <openssl/bio.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "convert/p12_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t passwordSize = std::min<size_t>(data[0] % 16, size - 1);
    const std::string password(reinterpret_cast<const char*>(data + 1), passwordSize);
    const uint8_t* file = data + 1 + passwordSize;
    const size_t fileSize = size - 1 - passwordSize;

    pavlox::P12Import import;
    import.adopt(pavlox::BioPtr(BIO_new_mem_buf(file, static_cast<int>(fileSize))));
    if (import.read(password.c_str()) != S_OK) {
        return 0;
    }
    const CK_BYTE id[] = {'0', '1'};
    import.buildTemplates(id, {});
    // n and d share the length L, the five CRT values L/2; nothing is empty but the label.
    const CK_ATTRIBUTE* key = import.keyTemplate();
    const CK_ULONG l = key[9].ulValueLen;
    if (l == 0 || key[11].ulValueLen != l || key[10].ulValueLen == 0) {
        __builtin_trap();
    }
    for (int i = 12; i < 17; ++i) {
        if (key[i].ulValueLen != l / 2) {
            __builtin_trap();
        }
    }
    const CK_ATTRIBUTE* cert = import.certTemplate();
    for (int i = 6; i < 10; ++i) {
        if (cert[i].ulValueLen == 0 || cert[i].pValue == nullptr) {
            __builtin_trap();
        }
    }
    import.wipeKey();
    return 0;
}
