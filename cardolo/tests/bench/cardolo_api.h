// The exports of cardolo.so bound by name, as the manager program binds them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "win/windows.h"

namespace cardolo::testing {

struct ReaderHandle;
using Bytes = const unsigned char*;

class CardoloApi {
  public:
    CardoloApi() {
        module_ = LoadLibraryA("cardolo.dll");
        if (module_ == nullptr) {
            throw std::runtime_error("cardolo.dll (cardolo.so) not found beside the test");
        }
        bind(GetReadersCount, "PCSC_GetReadersCount");
        bind(GetReaderName, "PCSC_GetReaderName");
        bind(GetATR, "PCSC_GetATR");
        bind(GetFSType, "PCSC_GetFSType");
        bind(GetReadersList, "PCSC_GetReadersList");
        bind(Connect, "PCSC_Connect");
        bind(Valid, "PCSC_Valid");
        bind(Disconnect, "PCSC_Disconnect");
        bind(AtrCmp, "PCSC_AtrCmp");
        bind(ChangeSetting, "CARDOLO_ChangeSetting");
        bind(GetSerial, "CNS_GetSerial");
        bind(VerifyPinPuk, "CNS_DS_VerifyPinPuk");
        bind(ChangePinPuk, "CNS_DS_ChangePinPuk");
        bind(UnblockPin, "CNS_DS_UnblockPin");
        bind(GetPinLimit, "CNS_DS_GetPinLimit");
        bind(DeactivatePin, "DS_DeactivatePin");
        bind(LockPin, "DS_LockPin");
        bind(ReactivatePin, "DS_ReactivatePin");
        bind(UnblockM4, "PCSC_Unblock_M4_1111");
        bind(UnblockStarcos, "PCSC_Unblock_Starcos");
        bind(UnblockSetec, "PCSC_Unblock_Setec");
    }
    ~CardoloApi() { FreeLibrary(module_); }
    CardoloApi(const CardoloApi&) = delete;
    CardoloApi& operator=(const CardoloApi&) = delete;

    int32_t (*GetReadersCount)(int32_t*) = nullptr;
    int32_t (*GetReaderName)(int32_t, char*, int32_t*) = nullptr;
    int32_t (*GetATR)(int32_t, char*, uint32_t*) = nullptr;
    int32_t (*GetFSType)(int32_t, int32_t*) = nullptr;
    int32_t (*GetReadersList)(char*, uint32_t*) = nullptr;
    int32_t (*Connect)(int32_t, ReaderHandle**) = nullptr;
    int32_t (*Valid)(ReaderHandle*) = nullptr;
    int32_t (*Disconnect)(ReaderHandle*) = nullptr;
    int32_t (*AtrCmp)(const char*, const char*, const char*) = nullptr;
    int32_t (*ChangeSetting)(const char*, int32_t) = nullptr;
    int32_t (*GetSerial)(int32_t, char*) = nullptr;
    int32_t (*VerifyPinPuk)(int32_t, Bytes, Bytes, int32_t, Bytes, int32_t, Bytes, int32_t, Bytes,
                            int32_t, Bytes, int32_t) = nullptr;
    int32_t (*ChangePinPuk)(int32_t, Bytes, Bytes, int32_t, Bytes, int32_t, Bytes, int32_t, Bytes,
                            int32_t, Bytes, int32_t, Bytes, int32_t, Bytes, int32_t, Bytes, int32_t,
                            Bytes, int32_t) = nullptr;
    int32_t (*UnblockPin)(int32_t, Bytes, Bytes, int32_t, Bytes, int32_t, Bytes, int32_t, Bytes,
                          int32_t, Bytes, int32_t) = nullptr;
    int32_t (*GetPinLimit)(int32_t, Bytes, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*,
                           int32_t*, int32_t*, int32_t*) = nullptr;
    int32_t (*DeactivatePin)(int32_t, Bytes, Bytes, int32_t) = nullptr;
    int32_t (*LockPin)(int32_t, Bytes, Bytes, int32_t) = nullptr;
    int32_t (*ReactivatePin)(int32_t, Bytes, Bytes, int32_t, Bytes, int32_t, int32_t, int32_t,
                             Bytes, int32_t) = nullptr;
    int32_t (*UnblockM4)(int32_t, const char*, const char*) = nullptr;
    int32_t (*UnblockStarcos)(int32_t, const char*, const char*) = nullptr;
    int32_t (*UnblockSetec)(int32_t, const char*, const char*) = nullptr;

  private:
    template <typename Fn>
    void bind(Fn& fn, const char* name) {
        fn = ProcAs<Fn>(GetProcAddress(module_, name));
        if (fn == nullptr) {
            throw std::runtime_error(std::string("cardolo.so does not export ") + name);
        }
    }
    HMODULE module_ = nullptr;
};

}  // namespace cardolo::testing
