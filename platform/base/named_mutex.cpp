// Named mutexes shared by every process of the machine: an flock on a lock file per name, and
// one process-wide object per name for owner thread and recursion count.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "win/errhandlingapi.h"
#include "win/synchapi.h"
#include "win/winerror.h"

namespace {

// One per name in this process. `local` keeps the threads of this process apart (flock only
// separates open files, not threads); `fd` holds the machine-wide lock while `depth` > 0.
struct MutexObject {
    std::string name;
    int fd = -1;
    std::timed_mutex local;
    std::mutex state;  // guards owner and depth
    std::thread::id owner;
    unsigned depth = 0;
    unsigned handles = 0;
};

// A handle is the address of one of these; every CreateMutexA call makes its own.
struct MutexHandle {
    static constexpr unsigned kMagic = 0x4D555458;  // "MUTX"
    unsigned magic = kMagic;
    std::shared_ptr<MutexObject> object;
};

std::mutex g_tableLock;
std::map<std::string, std::weak_ptr<MutexObject>>& table() {
    static auto* t = new std::map<std::string, std::weak_ptr<MutexObject>>;
    return *t;
}

std::string lockDirectory() {
    if (const char* dir = std::getenv("VANTOR_RUNTIME_DIR"); dir && *dir) {
        return dir;
    }
    if (::access("/run/lock", W_OK | X_OK) == 0) {
        return "/run/lock";
    }
    return "/tmp";
}

// Names may hold any character but '\' (as on Windows); '/' and anything odd become '_' so the
// name stays one file name; a hash of the original keeps distinct names apart.
std::string lockFileName(const std::string& name) {
    std::string safe;
    for (unsigned char c : name) {
        safe += (std::isalnum(c) || c == '-' || c == '{' || c == '}' || c == '.') ? char(c) : '_';
    }
    std::size_t hash = std::hash<std::string>{}(name);
    return lockDirectory() + "/vantor-mutex-" + safe.substr(0, 120) + "-" +
           std::to_string(hash % 1000000007u) + ".lock";
}

int openLockFile(const std::string& name) {
    const std::string path = lockFileName(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        // Every user's processes share the mutex, whatever the creator's umask.
        ::fchmod(fd, 0666);
    }
    return fd;
}

MutexHandle* fromHandle(HANDLE handle) {
    auto* h = static_cast<MutexHandle*>(handle);
    if (h == nullptr || h->magic != MutexHandle::kMagic || !h->object) {
        return nullptr;
    }
    return h;
}

bool lockFile(int fd, bool wait) {
    if (fd < 0) {
        return true;  // unnamed mutex: this process only
    }
    for (;;) {
        if (::flock(fd, wait ? LOCK_EX : (LOCK_EX | LOCK_NB)) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Takes ownership when free (or already ours); false when another thread or process holds it.
bool tryAcquire(MutexObject& m, bool block) {
    const auto self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> g(m.state);
        if (m.depth > 0 && m.owner == self) {
            ++m.depth;
            return true;
        }
    }
    if (block) {
        m.local.lock();
    } else if (!m.local.try_lock()) {
        return false;
    }
    if (!lockFile(m.fd, block)) {
        m.local.unlock();
        return false;
    }
    std::lock_guard<std::mutex> g(m.state);
    m.owner = self;
    m.depth = 1;
    return true;
}

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    try {
        std::shared_ptr<MutexObject> object;
        bool existed = false;
        if (name != nullptr && *name != 0) {
            std::lock_guard<std::mutex> g(g_tableLock);
            auto& slot = table()[name];
            object = slot.lock();
            existed = object != nullptr;
            if (!object) {
                object = std::make_shared<MutexObject>();
                object->name = name;
                object->fd = openLockFile(name);
                if (object->fd < 0) {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return nullptr;
                }
                slot = object;
            }
        } else {
            object = std::make_shared<MutexObject>();
        }
        auto* handle = new MutexHandle{MutexHandle::kMagic, object};
        {
            std::lock_guard<std::mutex> g(object->state);
            ++object->handles;
        }
        if (initialOwner) {
            tryAcquire(*object, true);
        }
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    MutexHandle* h = fromHandle(handle);
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    MutexObject& m = *h->object;
    if (milliseconds == INFINITE) {
        return tryAcquire(m, true) ? WAIT_OBJECT_0 : WAIT_FAILED;
    }
    // A finite wait polls: flock has no time-out of its own.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (tryAcquire(m, false)) {
            return WAIT_OBJECT_0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return WAIT_TIMEOUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

BOOL ReleaseMutex(HANDLE handle) {
    MutexHandle* h = fromHandle(handle);
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MutexObject& m = *h->object;
    {
        std::lock_guard<std::mutex> g(m.state);
        if (m.depth == 0 || m.owner != std::this_thread::get_id()) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--m.depth > 0) {
            return TRUE;
        }
        m.owner = std::thread::id();
    }
    if (m.fd >= 0) {
        ::flock(m.fd, LOCK_UN);
    }
    m.local.unlock();
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    MutexHandle* h = fromHandle(handle);
    if (h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<MutexObject> object = std::move(h->object);
    h->magic = 0;
    delete h;
    bool last = false;
    {
        std::lock_guard<std::mutex> g(object->state);
        last = --object->handles == 0 && object->depth == 0;
    }
    if (last && object->fd >= 0) {
        std::lock_guard<std::mutex> g(g_tableLock);
        table().erase(object->name);
        ::close(object->fd);
        object->fd = -1;
    }
    return TRUE;
}
