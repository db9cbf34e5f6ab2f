// Fuzz target: any bytes as a shared object's file through the layout check LoadLibraryA makes
// before dlopen; a file it passes must hold every segment it describes.
#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "elf_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (vantor::loader::checkElfBytes(data, size) != vantor::loader::ElfImage::Fits ||
        size < sizeof(Elf64_Ehdr)) {
        return 0;
    }
    Elf64_Ehdr header;
    std::memcpy(&header, data, sizeof header);
    for (size_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr p;
        std::memcpy(&p, data + header.e_phoff + i * sizeof p, sizeof p);  // must lie within
        if (p.p_filesz != 0 && (p.p_offset > size || p.p_filesz > size - p.p_offset)) {
            __builtin_trap();
        }
    }
    return 0;
}
