// Fuzz target: container-argument parsing, the label/serial split and percent decoding, with
// the invariants that decoding what was encoded gives the bytes back.
#include "container_name.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string cText(text.c_str());  // as the C string an application passes
    const tvx::ContainerArgument arg = tvx::parseContainerArgument(cText.c_str());
    if (arg.containerName) {
        const tvx::SplitName split = tvx::splitContainerName(*arg.containerName);
        (void)tvx::percentDecode(split.label);
        if (split.serial && split.serial->find('@') != std::string::npos) {
            std::abort();  // the split is at the last separator
        }
    }
    if (arg.readerQualified && !arg.reader) {
        std::abort();
    }
    const std::vector<std::uint8_t> bytes(data, data + size);
    if (tvx::percentDecode(tvx::percentEncode(bytes)) != bytes) {
        std::abort();
    }
    return 0;
}
