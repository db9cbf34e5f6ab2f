// The plug-in glue: loading crvk2plg.so through the platform loader, one plug-in object per
// operation, the retry loop and the closing notification. PIN copies are wiped after each try.
#include "pin_plugin.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "crvk2plg.h"
#include "vantor/secure_bytes.h"
#include "win/libloaderapi.h"

namespace cardtoken {
namespace {

// Plug-in events and request kinds as the plug-in defines them.
constexpr int32_t kEventDone = 0;
constexpr int32_t kEventFailed = 1;
constexpr int32_t kEventWrongPin = 8;
constexpr int32_t kEventCardLocked = 9;
constexpr int32_t kEventWrongPuk = 16;
constexpr int32_t kEventPukLocked = 17;
constexpr int kKindUnblock = 3;

// The plug-in stays loaded once loaded: it brings Qt, which registers process-exit handlers and
// cannot be unloaded safely.
crvk2GetPlgV4Fn pluginFactory() {
    static crvk2GetPlgV4Fn factory = [] {
        HMODULE module = LoadLibraryA("crvk2plg.dll");
        return module != nullptr
                   ? reinterpret_cast<crvk2GetPlgV4Fn>(GetProcAddress(module, "crvk2GetPlgV4"))
                   : nullptr;
    }();
    return factory;
}

// One plug-in object for one operation, released on every path.
class PluginObject final {
  public:
    explicit PluginObject(IPinPluginV4* p) : p_(p) {}
    ~PluginObject() {
        if (p_ != nullptr) {
            static_cast<IPinPlugin*>(p_)->Release();
        }
    }
    PluginObject(const PluginObject&) = delete;
    PluginObject& operator=(const PluginObject&) = delete;
    IPinPluginV4* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    IPinPluginV4* p_;
};

// A dialog value: the plug-in copies at most the stated length without a terminator, so the
// length is taken within it.
struct Value {
    static constexpr uint32_t kCapacity = 1024 * 4;  // 1024 characters of up to 4 UTF-8 bytes
    vantor::SecureBytes bytes = vantor::SecureBytes(kCapacity, 0);
    char* data() { return reinterpret_cast<char*>(bytes.data()); }
    CK_ULONG length() const {
        return static_cast<CK_ULONG>(std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) -
                                     bytes.begin());
    }
    const CK_UTF8CHAR* ptr() const { return bytes.data(); }
};

}  // namespace

int triesLeft(CK_FLAGS flags, bool so) {
    const CK_FLAGS locked = so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED;
    const CK_FLAGS finalTry = so ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY;
    if (flags & locked) {
        return 0;
    }
    return (flags & finalTry) ? 1 : kMaxPinTries;
}

CK_RV withPluginPins(int kind, int tries, const Attempt& attempt) {
    crvk2GetPlgV4Fn factory = pluginFactory();
    if (factory == nullptr) {
        return CKR_FUNCTION_FAILED;
    }
    PluginObject plugin(factory());
    if (!plugin) {
        return CKR_HOST_MEMORY;
    }
    const bool puk = kind == kKindUnblock;
    if (tries <= 0) {
        plugin->Notify(puk ? kEventPukLocked : kEventCardLocked);
        return CKR_PIN_LOCKED;
    }
    CK_RV rv = CKR_FUNCTION_CANCELED;
    for (int attemptNo = 1; attemptNo <= tries; ++attemptNo) {
        Value first, second;
        if (plugin->Request(kind, first.data(), Value::kCapacity, second.data(),
                            Value::kCapacity) != 0) {
            return CKR_FUNCTION_CANCELED;
        }
        rv = attempt(first.ptr(), first.length(), second.ptr(), second.length());
        first.bytes.wipe();
        second.bytes.wipe();
        if (rv == CKR_PIN_INCORRECT && attemptNo < tries &&
            plugin->Notify(puk ? kEventWrongPuk : kEventWrongPin) == 1) {
            continue;
        }
        break;
    }
    if (rv == CKR_PIN_LOCKED) {
        plugin->Notify(puk ? kEventPukLocked : kEventCardLocked);
    } else {
        plugin->Notify(rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN ? kEventDone
                                                                        : kEventFailed);
    }
    return rv;
}

}  // namespace cardtoken
