// SoftHSM2 underneath the module: private copy and configuration, token lookup and creation.
#include "softhsm.h"

#include "objects.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace cardtoken {
namespace {

constexpr int kLockWaitMs = 10000;

std::string trimField(const CK_UTF8CHAR* p, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) {
        s.pop_back();
    }
    return s;
}

void makeDirs(const std::string& dir) {
    std::string path;
    std::istringstream parts(dir);
    if (!dir.empty() && dir.front() == '/') {
        path = "/";
    }
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty()) {
            continue;
        }
        path += (path.empty() || path.back() == '/' ? "" : "/") + part;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            throw ConfigError("cannot create the token directory " + dir + ": " +
                              std::strerror(errno));
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw ConfigError("token directory " + dir + " is not a directory");
    }
}

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Writes a file through a temporary name, so another process never reads half of it.
void writeAtomically(const std::string& path, const std::string& content) {
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << content;
        if (!f.flush()) {
            throw ConfigError("cannot write " + tmp);
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw ConfigError("cannot write " + path + ": " + std::strerror(errno));
    }
}

// The lock file of the token directory, held with a bounded wait.
class DirLock {
  public:
    explicit DirLock(const std::string& dir) {
        fd_ = ::open((dir + "/.cardtoken.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            return;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~DirLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A SoftHSM2 session closed on every path.
class HsmSession {
  public:
    HsmSession(CK_FUNCTION_LIST* f, CK_SLOT_ID slot) : f_(f) {
        rv_ = f_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h_);
    }
    ~HsmSession() {
        if (rv_ == CKR_OK) {
            f_->C_CloseSession(h_);
        }
    }
    HsmSession(const HsmSession&) = delete;
    HsmSession& operator=(const HsmSession&) = delete;
    CK_RV rv() const { return rv_; }
    CK_SESSION_HANDLE handle() const { return h_; }

  private:
    CK_FUNCTION_LIST* f_;
    CK_SESSION_HANDLE h_ = CK_INVALID_HANDLE;
    CK_RV rv_ = CKR_GENERAL_ERROR;
};

CK_UTF8CHAR_PTR pinPtr(const Secret& s) {
    return const_cast<CK_UTF8CHAR_PTR>(s.data());
}

std::string hexName(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

}  // namespace

void SoftHsm::start(const Config& config) {
    stop();
    tokenDir_ = config.tokenDir;
    makeDirs(tokenDir_);
    conf_ = tokenDir_ + "/.cardtoken-softhsm2.conf";
    const std::string conf =
        "# Private SoftHSM2 configuration of cardtoken.so (rewritten by it).\n"
        "directories.tokendir = " +
        tokenDir_ +
        "\nobjectstore.backend = file\nlog.level = ERROR\n"
        "slots.removable = false\n";
    if (readAll(conf_) != conf) {
        writeAtomically(conf_, conf);
    }
    // A private copy of the module: a host that also loads SoftHSM2 itself (with its own
    // configuration) gets its own instance, and ours never shares its initialization.
    const std::string source = readAll(config.softhsmModule);
    if (source.empty()) {
        throw ConfigError("cannot read the SoftHSM2 module " + config.softhsmModule);
    }
    const std::string copy = tokenDir_ + "/.cardtoken-softhsm2.so";
    if (readAll(copy) != source) {
        writeAtomically(copy, source);
    }
    handle_ = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw ConfigError("cannot load " + copy + ": " + ::dlerror());
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
    if (getList == nullptr || getList(&f_) != CKR_OK || f_ == nullptr) {
        stop();
        throw ConfigError(config.softhsmModule + " is not a PKCS#11 module");
    }
    if (const CK_RV rv = initialize(); rv != CKR_OK) {
        stop();
        throw ConfigError("SoftHSM2 C_Initialize failed with 0x" + [&] {
            std::ostringstream s;
            s << std::hex << rv;
            return s.str();
        }() + " on " + conf_);
    }
}

CK_RV SoftHsm::initialize() {
    // SoftHSM2 reads SOFTHSM2_CONF only inside C_Initialize: point it at ours for that call and
    // give the host its own value back.
    const char* old = std::getenv("SOFTHSM2_CONF");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("SOFTHSM2_CONF", conf_.c_str(), 1);
    CK_RV rv = f_->C_Initialize(nullptr);
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        // An earlier load of this module in the process was freed without C_Finalize (as the
        // provider reloads its module) and left our private SoftHSM2 running: start it afresh.
        f_->C_Finalize(nullptr);
        rv = f_->C_Initialize(nullptr);
    }
    if (saved) {
        ::setenv("SOFTHSM2_CONF", saved->c_str(), 1);
    } else {
        ::unsetenv("SOFTHSM2_CONF");
    }
    if (rv == CKR_OK) {
        initialized_ = true;
        ++generation_;
    }
    return rv;
}

void SoftHsm::stop() {
    if (f_ != nullptr && initialized_) {
        f_->C_Finalize(nullptr);
    }
    initialized_ = false;
    f_ = nullptr;
    if (handle_ != nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
}

CK_RV SoftHsm::find(const std::string& label, CK_SLOT_ID* slot, std::size_t* initialized) {
    CK_ULONG n = 0;
    CK_RV rv = f_->C_GetSlotList(CK_FALSE, nullptr, &n);
    if (rv != CKR_OK) {
        return rv;
    }
    std::vector<CK_SLOT_ID> slots(n);
    rv = f_->C_GetSlotList(CK_FALSE, slots.data(), &n);
    if (rv != CKR_OK) {
        return rv;
    }
    slots.resize(n);
    *initialized = 0;
    rv = CKR_TOKEN_NOT_PRESENT;
    for (CK_SLOT_ID s : slots) {
        CK_TOKEN_INFO info{};
        if (f_->C_GetTokenInfo(s, &info) != CKR_OK) {
            continue;
        }
        if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) {
            continue;
        }
        ++*initialized;
        if (rv != CKR_OK && trimField(info.label, sizeof info.label) == label) {
            *slot = s;
            rv = CKR_OK;
        }
    }
    return rv;
}

std::size_t SoftHsm::tokensOnDisk() const {
    std::size_t n = 0;
    DIR* d = ::opendir(tokenDir_.c_str());
    if (d == nullptr) {
        return 0;
    }
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        struct stat st {};
        if (::stat((tokenDir_ + "/" + e->d_name + "/token.object").c_str(), &st) == 0) {
            ++n;
        }
    }
    ::closedir(d);
    return n;
}

CK_RV SoftHsm::slotFor(const std::string& cardSerial, const TokenSpec& spec, CK_SLOT_ID* slot,
                       std::string* why) {
    if (f_ == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    const std::string label = bindingLabel(cardSerial);
    std::size_t known = 0;
    if (find(label, slot, &known) == CKR_OK) {
        return CKR_OK;
    }
    DirLock lock(tokenDir_);
    if (!lock.held()) {
        *why = "the token directory stayed locked by another process";
        return CKR_DEVICE_ERROR;
    }
    // Tokens made by another process since our initialization are only seen after a new one.
    if (tokensOnDisk() > known) {
        f_->C_Finalize(nullptr);
        initialized_ = false;
        if (const CK_RV rv = initialize(); rv != CKR_OK) {
            *why = "SoftHSM2 could not be initialized again";
            return rv;
        }
        if (find(label, slot, &known) == CKR_OK) {
            return CKR_OK;
        }
    }
    return create(cardSerial, spec, slot, why);
}

CK_RV SoftHsm::create(const std::string& cardSerial, const TokenSpec& spec, CK_SLOT_ID* slot,
                      std::string* why) {
    // Objects are read before anything is written, so a bad file makes no half token.
    std::vector<ObjectTemplate> objects;
    try {
        for (const ObjectSpec& o : spec.objects) {
            auto more = readObjects(o);
            std::move(more.begin(), more.end(), std::back_inserter(objects));
        }
    } catch (const ConfigError& e) {
        *why = e.what();
        return CKR_GENERAL_ERROR;
    }
    CK_ULONG n = 0;
    CK_RV rv = f_->C_GetSlotList(CK_FALSE, nullptr, &n);
    std::vector<CK_SLOT_ID> slots(n);
    if (rv == CKR_OK) {
        rv = f_->C_GetSlotList(CK_FALSE, slots.data(), &n);
    }
    if (rv != CKR_OK) {
        *why = "SoftHSM2 C_GetSlotList failed";
        return rv;
    }
    slots.resize(n);
    const auto freeSlot = std::find_if(slots.begin(), slots.end(), [&](CK_SLOT_ID s) {
        CK_TOKEN_INFO info{};
        return f_->C_GetTokenInfo(s, &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED) == 0;
    });
    if (freeSlot == slots.end()) {
        *why = "SoftHSM2 offers no free slot";
        return CKR_DEVICE_ERROR;
    }
    CK_UTF8CHAR padded[32];
    std::memset(padded, ' ', sizeof padded);
    const std::string label = bindingLabel(cardSerial);
    std::memcpy(padded, label.data(), std::min(label.size(), sizeof padded));
    auto step = [&](CK_RV r, const char* what) {
        if (r != CKR_OK && why->empty()) {
            std::ostringstream s;
            s << "SoftHSM2 " << what << " failed with 0x" << std::hex << r;
            *why = s.str();
        }
        return r;
    };
    rv = step(f_->C_InitToken(*freeSlot, pinPtr(spec.soPin), spec.soPin.size(), padded),
              "C_InitToken");
    if (rv != CKR_OK || !spec.userPinInitialized) {
        *slot = *freeSlot;
        return rv;
    }
    HsmSession session(f_, *freeSlot);
    if ((rv = step(session.rv(), "C_OpenSession")) != CKR_OK) {
        return rv;
    }
    const CK_SESSION_HANDLE h = session.handle();
    if ((rv = step(f_->C_Login(h, CKU_SO, pinPtr(spec.soPin), spec.soPin.size()), "SO login")) !=
            CKR_OK ||
        (rv = step(f_->C_InitPIN(h, pinPtr(spec.userPin), spec.userPin.size()), "C_InitPIN")) !=
            CKR_OK) {
        return rv;
    }
    f_->C_Logout(h);
    if (!objects.empty()) {
        if ((rv = step(f_->C_Login(h, CKU_USER, pinPtr(spec.userPin), spec.userPin.size()),
                       "user login")) != CKR_OK) {
            return rv;
        }
        for (ObjectTemplate& o : objects) {
            auto attrs = o.attributes();
            CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
            if ((rv = step(f_->C_CreateObject(h, attrs.data(), attrs.size(), &made),
                           "C_CreateObject")) != CKR_OK) {
                break;
            }
        }
        f_->C_Logout(h);
    }
    *slot = *freeSlot;
    return rv;
}

std::string SoftHsm::labelOverride(const std::string& cardSerial) const {
    std::string label = readAll(tokenDir_ + "/.cardtoken-label-" + hexName(cardSerial));
    return label.substr(0, 32);
}

void SoftHsm::setLabelOverride(const std::string& cardSerial, const std::string& label) const {
    writeAtomically(tokenDir_ + "/.cardtoken-label-" + hexName(cardSerial), label);
}

}  // namespace cardtoken
