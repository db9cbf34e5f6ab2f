// The plug-in objects: thin forwards to the shared operations, reference and lock counting.
// Nothing thrown inside may leave a slot: every slot answers its failure value instead.
#include "objects.h"

#include <new>

#include "services.h"

namespace crvk2plg {

namespace {

std::atomic<int32_t> lockCount{0};

// The static object lives exactly as long as the library (constant-initialised, nothing to
// destroy).
StaticPlugin staticInstance;

template <typename Body>
int32_t guarded(int32_t failure, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace

int32_t moduleLockCount() {
    return lockCount.load();
}
void lockModule() {
    lockCount.fetch_add(1);
}
void unlockModule() {
    lockCount.fetch_sub(1);
}

StaticPlugin& staticPlugin() {
    return staticInstance;
}

int32_t StaticPlugin::AddRef() {
    return count_.fetch_add(1) + 1;
}

int32_t StaticPlugin::Release() {
    int32_t current = count_.load();
    do {
        if (current <= 0) {
            return -1;
        }
    } while (!count_.compare_exchange_weak(current, current - 1));
    return current - 1;
}

int32_t StaticPlugin::ShowMessage(const char* text, const char* caption, uint32_t type) {
    return guarded(0, [&] { return showMessage(text, caption, type); });
}
int32_t StaticPlugin::AskRetry() {
    return guarded(0, [] { return askRetry(); });
}
int32_t StaticPlugin::AskPin(char* buffer, uint32_t length) {
    return guarded(-1, [&] { return askPin(buffer, length); });
}
int32_t StaticPlugin::GetKey(uint8_t* key24) {
    return getKey(key24);
}

Plugin::Plugin() {
    lockModule();
}

Plugin::~Plugin() {
    unlockModule();
}

int32_t Plugin::SetValue(uint32_t value) {
    value_ = value;
    return 0;
}

int32_t Plugin::Release() {
    delete this;
    return 0;
}

int32_t Plugin::ShowMessage(const char* text, const char* caption, uint32_t type) {
    return guarded(0, [&] { return showMessage(text, caption, type); });
}
int32_t Plugin::AskRetry() {
    return guarded(0, [] { return askRetry(); });
}
int32_t Plugin::AskPin(char* buffer, uint32_t length) {
    return guarded(-1, [&] { return askPin(buffer, length); });
}
int32_t Plugin::GetKey(uint8_t* key24) {
    return getKey(key24);
}
int32_t Plugin::GetKeyAgain(uint8_t* key24) {
    return getKey(key24);
}
int32_t Plugin::LockCount() {
    return moduleLockCount();
}
int32_t Plugin::Request(int32_t kind, char* buffer1, uint32_t length1, char* buffer2,
                        uint32_t length2) {
    return guarded(-1, [&] { return request(kind, buffer1, length1, buffer2, length2); });
}
int32_t Plugin::Notify(int32_t event) {
    return guarded(0, [&] { return notify(event); });
}

}  // namespace crvk2plg
