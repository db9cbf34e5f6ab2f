// The ELF layout check made before dlopen. dlopen maps each loadable segment of the file with
// mmap and touches it; a segment that reaches past the end of a truncated file maps pages with
// nothing behind them, and the first touch kills the process with SIGBUS. So the file must hold
// the ELF header, the program header table and every segment's file bytes before it is opened.
#include "elf_image.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vantor::loader {

namespace {

// A program header table larger than this is no shared object (65535 headers of 56 bytes).
constexpr std::uint64_t kMaxHeaderTable = 0xFFFFull * sizeof(Elf64_Phdr);

// Whether [offset, offset + size) lies within a file of fileSize bytes, without wrapping.
bool within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

// Closes a descriptor when it leaves scope.
class FileDescriptor final {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

ElfImage checkElfImage(const ReadAt& read, std::uint64_t fileSize) {
    Elf64_Ehdr header{};
    if (fileSize < sizeof(header)) {
        return ElfImage::NotElf;
    }
    if (!read(0, &header, sizeof(header))) {
        return ElfImage::Unreadable;
    }
    // Only what this process can load: 64-bit, little-endian (x86_64).
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) {
        return ElfImage::NotElf;
    }
    if (header.e_phnum == 0) {
        return ElfImage::Fits;  // nothing to map; dlopen refuses it on its own terms
    }
    if (header.e_phentsize != sizeof(Elf64_Phdr)) {
        return ElfImage::NotElf;
    }
    const std::uint64_t tableSize = std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
    if (tableSize > kMaxHeaderTable || !within(header.e_phoff, tableSize, fileSize)) {
        return ElfImage::Truncated;
    }
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!read(header.e_phoff, segments.data(), tableSize)) {
        return ElfImage::Unreadable;
    }
    // Every segment with file bytes: the loadable ones are mapped, and the others (dynamic
    // section, notes, TLS image) are read through those mappings.
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_filesz != 0 && !within(segment.p_offset, segment.p_filesz, fileSize)) {
            return ElfImage::Truncated;
        }
    }
    return ElfImage::Fits;
}

ElfImage checkElfBytes(const std::uint8_t* data, std::size_t size) {
    return checkElfImage(
        [data, size](std::uint64_t offset, void* buffer, std::size_t length) {
            if (!within(offset, length, size)) {
                return false;
            }
            if (length > 0) {
                std::memcpy(buffer, data + offset, length);
            }
            return true;
        },
        size);
}

ElfImage checkElfFile(const std::string& path) {
    // Non-blocking, so that a FIFO given as a library name cannot hang the open.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return ElfImage::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        // A loadable image is a regular file; dlopen would wait forever on a FIFO.
        return ElfImage::NotElf;
    }
    return checkElfImage(
        [&fd](std::uint64_t offset, void* buffer, std::size_t length) {
            auto* out = static_cast<char*>(buffer);
            while (length > 0) {
                const ssize_t n = ::pread(fd.get(), out, length, static_cast<off_t>(offset));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    return false;
                }
                out += n;
                offset += static_cast<std::uint64_t>(n);
                length -= static_cast<std::size_t>(n);
            }
            return true;
        },
        static_cast<std::uint64_t>(st.st_size));
}

}  // namespace vantor::loader
