// Fuzzes the BER-TLV list reader and the FCI file-size reader with arbitrary card bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "sm/tlv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    if (const auto list = cardolo::sm::readTlvList(input)) {
        // The objects of a good list tile the input exactly, each value inside its object.
        std::size_t total = 0;
        for (const auto& tlv : *list) {
            if (tlv.whole.data() != data + total || tlv.value.size() > tlv.whole.size() ||
                tlv.value.data() + tlv.value.size() != tlv.whole.data() + tlv.whole.size()) {
                std::abort();
            }
            total += tlv.whole.size();
        }
        if (total != size) {
            std::abort();
        }
    }
    (void)cardolo::sm::fciFileSize(input);
    return 0;
}
