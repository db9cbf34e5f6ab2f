// Checks that a shared object's file holds every byte its headers say the loader will map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vantor::loader {

enum class ElfImage {
    Fits,        // header, program headers and every segment lie within the file
    NotElf,      // not an ELF file of this machine's class and byte order
    Truncated,   // a header or segment reaches past the end of the file
    Unreadable,  // the file could not be opened or read (the caller lets dlopen report it)
};

// Reads size bytes at offset into buffer; false when they cannot all be read.
using ReadAt = std::function<bool(std::uint64_t offset, void* buffer, std::size_t size)>;

// The layout check over any source of the file's bytes, given its size.
ElfImage checkElfImage(const ReadAt& read, std::uint64_t fileSize);

// The same over bytes in memory (the whole file).
ElfImage checkElfBytes(const std::uint8_t* data, std::size_t size);

// The same over a file on disk.
ElfImage checkElfFile(const std::string& path);

// Whether dlopen may be given path: true unless the file is there, readable, and fails the check
// (a file that cannot be read is left for dlopen to report).
inline bool imageFits(const std::string& path) {
    const ElfImage verdict = checkElfFile(path);
    return verdict == ElfImage::Fits || verdict == ElfImage::Unreadable;
}

}  // namespace vantor::loader
