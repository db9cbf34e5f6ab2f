// The plug-in's objects: the static IPinPluginV1 object, the per-call IPinPluginV4 object and
// the module lock count.
#pragma once

#include <atomic>
#include <cstdint>

#include "crvk2plg.h"

namespace crvk2plg {

// Raised by every crvk2GetPlgV4 object while it lives; DllCanUnloadNow answers S_OK only at 0.
int32_t moduleLockCount();
void lockModule();
void unlockModule();

// The one static object. Its count starts at 0 and never goes below; it is never destroyed.
class StaticPlugin final : public IPinPluginV1 {
  public:
    int32_t AddRef() override;
    int32_t Release() override;
    int32_t ShowMessage(const char* text, const char* caption, uint32_t type) override;
    int32_t AskRetry() override;
    int32_t AskPin(char* buffer, uint32_t length) override;
    int32_t GetKey(uint8_t* key24) override;

    int32_t count() const { return count_.load(); }

  private:
    std::atomic<int32_t> count_{0};
};

StaticPlugin& staticPlugin();

// One object per crvk2GetPlgV4 call. Its IPinPlugin Release destroys it whatever pointers the
// caller still holds.
class Plugin final : public IPinPluginV4 {
  public:
    Plugin();
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    int32_t SetValue(uint32_t value) override;
    int32_t Release() override;
    int32_t ShowMessage(const char* text, const char* caption, uint32_t type) override;
    int32_t AskRetry() override;
    int32_t AskPin(char* buffer, uint32_t length) override;
    int32_t GetKey(uint8_t* key24) override;
    int32_t GetKeyAgain(uint8_t* key24) override;
    int32_t LockCount() override;
    int32_t Request(int32_t kind, char* buffer1, uint32_t length1, char* buffer2,
                    uint32_t length2) override;
    int32_t Notify(int32_t event) override;

    uint32_t value() const { return value_; }

  private:
    // Set through slot 0 and kept; nothing in the plug-in reads it.
    uint32_t value_ = 0;
};

}  // namespace crvk2plg
