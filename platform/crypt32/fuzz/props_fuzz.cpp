// Fuzzes the parsers of stored property records (the property list of a certificate and the
// key provider information inside it): damaged records are refused, good ones round-trip.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "properties.h"

using namespace vantor::crypt32;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<BYTE> bytes(data, data + size);
    if (auto props = parseProperties(bytes.data(), bytes.size())) {
        if (serializeProperties(*props) != bytes) {
            __builtin_trap();  // a record that parses is exactly what was stored
        }
        auto it = props->find(CERT_KEY_PROV_INFO_PROP_ID);
        if (it != props->end()) {
            parseKeyProvInfo(it->second.data(), it->second.size());
        }
    }
    if (auto info = parseKeyProvInfo(bytes.data(), bytes.size())) {
        if (serializeKeyProvInfo(*info) != bytes) {
            __builtin_trap();
        }
        std::vector<BYTE> flat(flattenKeyProvInfo(*info, nullptr) + 8);
        flattenKeyProvInfo(*info, flat.data());
    }
    return 0;
}
