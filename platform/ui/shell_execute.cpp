// ShellExecuteA on Linux: the loader's name mapping, the program search and a detached start.
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "win/shellapi.h"

extern char** environ;

namespace {

HINSTANCE Result(std::intptr_t code) {
    return reinterpret_cast<HINSTANCE>(code);
}

// "VantorSetup.exe" -> "vantorsetup": the suite's programs are installed under the lowercase
// name of their Windows file without its extension.
std::string ProgramName(std::string file) {
    if (file.size() > 4 && strcasecmp(file.c_str() + file.size() - 4, ".exe") == 0) {
        file.resize(file.size() - 4);
    }
    std::transform(file.begin(), file.end(), file.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return file;
}

std::string OwnDirectory() {
    std::vector<char> path(4096);
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) {
        return {};
    }
    std::string own(path.data(), static_cast<size_t>(n));
    const size_t slash = own.rfind('/');
    return slash == std::string::npos ? std::string() : own.substr(0, slash);
}

bool Runnable(const std::string& path) {
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// Beside the running program first, then each PATH directory in order.
std::string FindProgram(const std::string& name) {
    if (const std::string own = OwnDirectory(); !own.empty() && Runnable(own + "/" + name)) {
        return own + "/" + name;
    }
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && Runnable(dir + "/" + name)) {
            return dir + "/" + name;
        }
    }
    return {};
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT) {
    if (operation != nullptr && *operation != '\0' && strcasecmp(operation, "open") != 0) {
        return Result(SE_ERR_NOASSOC);
    }
    if (file == nullptr || *file == '\0') {
        return Result(SE_ERR_FNF);
    }
    const std::string given(file);
    std::string program;
    if (given.find('/') != std::string::npos) {
        program = Runnable(given) ? given : std::string();
    } else {
        program = FindProgram(ProgramName(given));
    }
    if (program.empty()) {
        return Result(SE_ERR_FNF);
    }
    std::vector<std::string> args{program};
    if (parameters != nullptr) {
        std::stringstream words(parameters);
        std::string word;
        while (words >> word) {
            args.push_back(word);
        }
    }
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (directory != nullptr && *directory != '\0') {
        posix_spawn_file_actions_addchdir_np(&actions, directory);
    }
    pid_t pid = 0;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return Result(error == ENOMEM ? SE_ERR_OOM : SE_ERR_ACCESSDENIED);
    }
    // Nobody waits for the program; a detached reaper collects it when it ends, so it does not
    // stay behind as a zombie for the caller's lifetime.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return Result(42);
}
