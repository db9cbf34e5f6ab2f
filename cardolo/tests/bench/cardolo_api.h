// The exports of cardolo.so bound by name, as the manager program binds them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "cardolo/cardolo.h"
#include "win/windows.h"

namespace cardolo::testing {

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

    PCSC_GetReadersCount_t GetReadersCount = nullptr;
    PCSC_GetReaderName_t GetReaderName = nullptr;
    PCSC_GetATR_t GetATR = nullptr;
    PCSC_GetFSType_t GetFSType = nullptr;
    PCSC_GetReadersList_t GetReadersList = nullptr;
    PCSC_Connect_t Connect = nullptr;
    PCSC_Valid_t Valid = nullptr;
    PCSC_Disconnect_t Disconnect = nullptr;
    PCSC_AtrCmp_t AtrCmp = nullptr;
    CARDOLO_ChangeSetting_t ChangeSetting = nullptr;
    CNS_GetSerial_t GetSerial = nullptr;
    CNS_DS_VerifyPinPuk_t VerifyPinPuk = nullptr;
    CNS_DS_ChangePinPuk_t ChangePinPuk = nullptr;
    CNS_DS_UnblockPin_t UnblockPin = nullptr;
    CNS_DS_GetPinLimit_t GetPinLimit = nullptr;
    DS_DeactivatePin_t DeactivatePin = nullptr;
    DS_LockPin_t LockPin = nullptr;
    DS_ReactivatePin_t ReactivatePin = nullptr;
    PCSC_Unblock_t UnblockM4 = nullptr;
    PCSC_Unblock_t UnblockStarcos = nullptr;
    PCSC_Unblock_t UnblockSetec = nullptr;

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
