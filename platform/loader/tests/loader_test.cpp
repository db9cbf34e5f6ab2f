// LoadLibraryA's layout check on a real PKCS#11 module (SoftHSM2's) cut at the places that
// matter, and the check itself on headers that lie about sizes and offsets.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "elf_image.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winerror.h"

namespace {

namespace fs = std::filesystem;
using vantor::loader::ElfImage;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kRealModule = "/usr/lib/softhsm/libsofthsm2.so";

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kRealModule)) {
            GTEST_SKIP() << "SoftHSM2 (" << kRealModule << ") is not installed";
        }
        module_ = readFile(kRealModule);
        ASSERT_GT(module_.size(), 4096u);
        char dir[] = "/tmp/vantor-loader-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        if (!dir_.empty()) {
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }

    // A copy of the module holding its first size bytes, as a file named name.
    std::string truncated(size_t size, const std::string& name) {
        const std::string path = dir_ + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(module_.data()),
                  static_cast<std::streamsize>(size));
        return path;
    }

    Elf64_Ehdr header() const {
        Elf64_Ehdr h;
        std::memcpy(&h, module_.data(), sizeof h);
        return h;
    }
    std::vector<Elf64_Phdr> segments() const {
        const Elf64_Ehdr h = header();
        std::vector<Elf64_Phdr> out(h.e_phnum);
        std::memcpy(out.data(), module_.data() + h.e_phoff, h.e_phnum * sizeof(Elf64_Phdr));
        return out;
    }

    Bytes module_;
    std::string dir_;
};

// Cut points: inside the ELF header, inside the program header table, inside each segment
// with file bytes. Each copy is refused without dlopen ever seeing it, so the process lives; the
// whole file, and one cut just after the last segment's bytes, load.
TEST_F(Loader, TruncatedModulesAreRefusedBeforeDlopen) {
    const Elf64_Ehdr h = header();
    struct Cut {
        size_t size;
        ElfImage verdict;
        std::string what;
    };
    std::vector<Cut> cuts = {
        {0, ElfImage::NotElf, "empty file"},
        {sizeof(Elf64_Ehdr) - 1, ElfImage::NotElf, "inside the ELF header"},
        {h.e_phoff + h.e_phnum * sizeof(Elf64_Phdr) - 1, ElfImage::Truncated,
         "inside the program headers"},
        {4096, ElfImage::Truncated, "the first 4 KiB"},
    };
    std::uint64_t lastEnd = 0;
    for (const Elf64_Phdr& p : segments()) {
        if (p.p_filesz != 0) {
            cuts.push_back({static_cast<size_t>(p.p_offset + p.p_filesz - 1), ElfImage::Truncated,
                            "one byte short of segment type " + std::to_string(p.p_type)});
            lastEnd = std::max<std::uint64_t>(lastEnd, p.p_offset + p.p_filesz);
        }
    }
    cuts.push_back({static_cast<size_t>(lastEnd), ElfImage::Fits, "after the last segment"});
    cuts.push_back({module_.size(), ElfImage::Fits, "the whole module"});

    int n = 0;
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.what + " (" + std::to_string(cut.size) + " bytes)");
        EXPECT_EQ(vantor::loader::checkElfBytes(module_.data(), cut.size), cut.verdict);
        const std::string path = truncated(cut.size, "cut" + std::to_string(n++) + ".so");
        EXPECT_EQ(vantor::loader::checkElfFile(path), cut.verdict);
        SetLastError(ERROR_SUCCESS);
        HMODULE m = LoadLibraryA(path.c_str());
        if (cut.verdict == ElfImage::Fits) {
            ASSERT_NE(m, nullptr);
            EXPECT_NE(GetProcAddress(m, "C_GetFunctionList"), nullptr);
            FreeLibrary(m);
        } else {
            EXPECT_EQ(m, nullptr);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
        }
    }

    // The ".dll" spelling reaches the same check through its ".so" file.
    truncated(4096, "cutdll.so");
    EXPECT_EQ(LoadLibraryA((dir_ + "/cutdll.dll").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    // A file that is not there is still "not found", not a bad image. A FIFO is no image, and
    // neither the check nor dlopen may wait on it for a writer.
    EXPECT_EQ(LoadLibraryA((dir_ + "/absent.so").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    ASSERT_EQ(mkfifo((dir_ + "/fifo.so").c_str(), 0600), 0);
    EXPECT_EQ(LoadLibraryA((dir_ + "/fifo.so").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}

// Headers whose sizes and offsets would wrap or point outside the file, on the real module's
// bytes with one field changed each.
TEST_F(Loader, HeadersThatLieAboutTheirLayoutAreRefused) {
    const Elf64_Ehdr h = header();
    size_t load = 0;
    const std::vector<Elf64_Phdr> phdrs = segments();
    while (load < phdrs.size() && phdrs[load].p_type != PT_LOAD) {
        ++load;
    }
    ASSERT_LT(load, phdrs.size());
    const size_t loadAt = h.e_phoff + load * sizeof(Elf64_Phdr);

    struct Edit {
        std::string what;
        size_t offset;
        std::uint64_t value;
        size_t width;
        ElfImage verdict;
    };
    const Edit edits[] = {
        {"32-bit class", EI_CLASS, ELFCLASS32, 1, ElfImage::NotElf},
        {"big-endian", EI_DATA, ELFDATA2MSB, 1, ElfImage::NotElf},
        {"bad magic", 1, 'X', 1, ElfImage::NotElf},
        {"program header size", offsetof(Elf64_Ehdr, e_phentsize), 32, 2, ElfImage::NotElf},
        {"program headers past the end", offsetof(Elf64_Ehdr, e_phoff), module_.size(), 8,
         ElfImage::Truncated},
        {"program header offset that wraps", offsetof(Elf64_Ehdr, e_phoff), ~std::uint64_t{0} - 8,
         8, ElfImage::Truncated},
        {"segment offset that wraps", loadAt + offsetof(Elf64_Phdr, p_offset),
         ~std::uint64_t{0} - 16, 8, ElfImage::Truncated},
        {"segment size past the end", loadAt + offsetof(Elf64_Phdr, p_filesz), module_.size() + 1,
         8, ElfImage::Truncated},
        {"no program headers", offsetof(Elf64_Ehdr, e_phnum), 0, 2, ElfImage::Fits},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.what);
        Bytes copy = module_;
        std::memcpy(copy.data() + e.offset, &e.value, e.width);
        EXPECT_EQ(vantor::loader::checkElfBytes(copy.data(), copy.size()), e.verdict);
    }
}

}  // namespace
