// LoadLibraryA / GetProcAddress / FreeLibrary / GetModuleFileNameA over dlopen and dladdr;
// files are checked for truncation (elf_image.cpp) before dlopen maps them.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "elf_image.h"

#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winerror.h"

namespace {

namespace fs = std::filesystem;

bool endsWithDll(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".dll";
}

std::string programDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return {};
    }
    path[n] = '\0';
    return fs::path(path).parent_path().string();
}

std::string directoryOfThisModule() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&directoryOfThisModule), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    return fs::absolute(fs::path(info.dli_fname)).parent_path().string();
}

// Directories the dynamic loader searches for a bare name after LD_LIBRARY_PATH, in its order
// on Debian x86_64 (its cache lists files in these same directories).
const char* const kSystemDirectories[] = {"/lib/x86_64-linux-gnu",
                                          "/usr/lib/x86_64-linux-gnu",
                                          "/lib64",
                                          "/usr/lib64",
                                          "/lib",
                                          "/usr/lib",
                                          "/usr/local/lib"};

// The file dlopen will open for a bare name (no '/'), if it can be found: the first match in
// LD_LIBRARY_PATH, then in the system directories. Empty when none is found; dlopen may still
// find it through a program's run path, and then reports on its own.
std::string locateBareName(const std::string& name) {
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("LD_LIBRARY_PATH"); path != nullptr) {
        std::string all(path);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find_first_of(":;", start);
            if (end == std::string::npos) {
                end = all.size();
            }
            dirs.push_back(end > start ? all.substr(start, end - start) : ".");
            start = end + 1;
        }
    }
    dirs.insert(dirs.end(), std::begin(kSystemDirectories), std::end(kSystemDirectories));
    for (const std::string& dir : dirs) {
        fs::path candidate = fs::path(dir) / name;
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) {
            return candidate.string();
        }
    }
    return {};
}

// Opens path after the layout check; a file that fails it is never handed to dlopen (which
// would die of SIGBUS touching a segment past the end of a truncated file).
void* openChecked(const std::string& path, bool& badImage) {
    if (path.find('/') == std::string::npos) {
        // Already loaded: dlopen only counts another reference, and the file is not read again.
        if (void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
            return h;
        }
        const std::string found = locateBareName(path);
        if (!found.empty() && !vantor::loader::imageFits(found)) {
            badImage = true;
            return nullptr;
        }
        return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!vantor::loader::imageFits(path)) {
        badImage = true;
        return nullptr;
    }
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* openFirst(const std::string& name, bool& badImage) {
    if (!endsWithDll(name)) {
        return openChecked(name, badImage);
    }
    // "x.dll" is our "x.so": beside the loading module, beside the program, then the system path.
    std::string base = name.substr(0, name.size() - 4) + ".so";
    if (base.find('/') != std::string::npos) {
        return openChecked(base, badImage);
    }
    for (const std::string& dir : {directoryOfThisModule(), programDirectory()}) {
        if (dir.empty()) {
            continue;
        }
        fs::path candidate = fs::path(dir) / base;
        std::error_code ec;
        if (fs::exists(candidate, ec)) {
            if (void* h = openChecked(candidate.string(), badImage)) {
                return h;
            }
        }
    }
    return openChecked(base, badImage);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (fileName == nullptr || *fileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool badImage = false;
    void* handle = openFirst(fileName, badImage);
    if (handle == nullptr) {
        SetLastError(badImage ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (module == nullptr || procName == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Ordinals (values below 64K passed as a pointer) are not supported: export lists are by name.
    if (reinterpret_cast<ULONG_PTR>(procName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* sym = dlsym(static_cast<void*>(module), procName);
    if (sym == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return dlclose(static_cast<void*>(module)) == 0 ? TRUE : FALSE;
}

HMODULE GetModuleHandleFromAddress(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return nullptr;
    }
    // Re-open without loading to get a handle that dlinfo/dlsym accept; drop the extra reference.
    void* h = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr) {
        dlclose(h);
    }
    return static_cast<HMODULE>(h);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    std::string path;
    if (module == nullptr) {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
        if (n > 0) {
            path.assign(buf, static_cast<size_t>(n));
        }
    } else {
        struct link_map* map = nullptr;
        if (dlinfo(static_cast<void*>(module), RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
            map->l_name != nullptr) {
            path = map->l_name;
            if (path.empty()) {
                char buf[PATH_MAX];
                ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
                if (n > 0) {
                    path.assign(buf, static_cast<size_t>(n));
                }
            } else {
                path = fs::absolute(path).string();
            }
        }
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}
