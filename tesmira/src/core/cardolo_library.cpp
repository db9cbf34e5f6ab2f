// Binding of the card utility library's exports by name, each on its first call.
#include "cardolo_library.h"

#include "runtime_error.h"

namespace tesmira {

void ThrowIfFailed(std::int32_t hr, const char* what) {
    if (hr < 0) {
        throw RuntimeError(hr, std::string("Automation error in ") + what);
    }
}

CardoloLibrary::CardoloLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

CardoloLibrary::~CardoloLibrary() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

FARPROC CardoloLibrary::resolve(const char* name, FARPROC* slot) {
    if (*slot != nullptr) {
        return *slot;
    }
    if (module_ == nullptr) {
        module_ = LoadLibraryA(fileName_.c_str());
        if (module_ == nullptr) {
            throw RuntimeError(kErrFileNotFound, "File not found: " + fileName_);
        }
    }
    *slot = GetProcAddress(module_, name);
    if (*slot == nullptr) {
        throw RuntimeError(kErrEntryPoint,
                           "Can't find DLL entry point " + std::string(name) + " in " + fileName_);
    }
    return *slot;
}

std::int32_t CardoloLibrary::GetReadersList(char* buffer, std::uint32_t* length) {
    return bind<PCSC_GetReadersList_t>("PCSC_GetReadersList", &readersList_)(buffer, length);
}

std::int32_t CardoloLibrary::GetReadersCount(std::int32_t* count) {
    return bind<PCSC_GetReadersCount_t>("PCSC_GetReadersCount", &readersCount_)(count);
}

std::int32_t CardoloLibrary::GetATR(std::int32_t index, char* buffer, std::uint32_t* length) {
    return bind<PCSC_GetATR_t>("PCSC_GetATR", &atr_)(index, buffer, length);
}

std::int32_t CardoloLibrary::GetFSType(std::int32_t index, std::int32_t* type) {
    return bind<PCSC_GetFSType_t>("PCSC_GetFSType", &fsType_)(index, type);
}

std::int32_t CardoloLibrary::GetReaderName(std::int32_t index, char* buffer, std::int32_t* length) {
    return bind<PCSC_GetReaderName_t>("PCSC_GetReaderName", &readerName_)(index, buffer, length);
}

std::int32_t CardoloLibrary::Connect(std::int32_t index, ReaderHandle** handle) {
    return bind<PCSC_Connect_t>("PCSC_Connect", &connect_)(index, handle);
}

std::int32_t CardoloLibrary::Valid(ReaderHandle* handle) {
    return bind<PCSC_Valid_t>("PCSC_Valid", &valid_)(handle);
}

std::int32_t CardoloLibrary::Disconnect(ReaderHandle* handle) {
    return bind<PCSC_Disconnect_t>("PCSC_Disconnect", &disconnect_)(handle);
}

std::int32_t CardoloLibrary::AtrCmp(const char* atrA, const char* atrB, const char* mask) {
    return bind<PCSC_AtrCmp_t>("PCSC_AtrCmp", &atrCmp_)(atrA, atrB, mask);
}

std::int32_t CardoloLibrary::ChangePinPuk(
    std::int32_t index, const unsigned char* serial, const unsigned char* pin,
    std::int32_t pinLength, const unsigned char* newPin, std::int32_t newPinLength,
    const unsigned char* puk, std::int32_t pukLength, const unsigned char* newPuk,
    std::int32_t newPukLength, const unsigned char* dsPin, std::int32_t dsPinLength,
    const unsigned char* newDsPin, std::int32_t newDsPinLength, const unsigned char* dsPuk,
    std::int32_t dsPukLength, const unsigned char* newDsPuk, std::int32_t newDsPukLength,
    const unsigned char* key, std::int32_t flag) {
    return bind<CNS_DS_ChangePinPuk_t>("CNS_DS_ChangePinPuk", &changePinPuk_)(
        index, serial, pin, pinLength, newPin, newPinLength, puk, pukLength, newPuk, newPukLength,
        dsPin, dsPinLength, newDsPin, newDsPinLength, dsPuk, dsPukLength, newDsPuk, newDsPukLength,
        key, flag);
}

std::int32_t CardoloLibrary::UnblockPin(std::int32_t index, const unsigned char* serial,
                                        const unsigned char* puk, std::int32_t pukLength,
                                        const unsigned char* newPin, std::int32_t newPinLength,
                                        const unsigned char* dsPuk, std::int32_t dsPukLength,
                                        const unsigned char* newDsPin, std::int32_t newDsPinLength,
                                        const unsigned char* key, std::int32_t flag) {
    return bind<CNS_DS_UnblockPin_t>("CNS_DS_UnblockPin", &unblockPin_)(
        index, serial, puk, pukLength, newPin, newPinLength, dsPuk, dsPukLength, newDsPin,
        newDsPinLength, key, flag);
}

std::int32_t CardoloLibrary::UnblockM4(std::int32_t index, const char* puk, const char* newPin) {
    return bind<PCSC_Unblock_t>("PCSC_Unblock_M4_1111", &unblockM4_)(index, puk, newPin);
}

std::int32_t CardoloLibrary::UnblockStarcos(std::int32_t index, const char* puk,
                                            const char* newPin) {
    return bind<PCSC_Unblock_t>("PCSC_Unblock_Starcos", &unblockStarcos_)(index, puk, newPin);
}

std::int32_t CardoloLibrary::UnblockSetec(std::int32_t index, const char* puk, const char* newPin) {
    return bind<PCSC_Unblock_t>("PCSC_Unblock_Setec", &unblockSetec_)(index, puk, newPin);
}

CardoloLibrary& Cardolo() {
    static CardoloLibrary library;
    return library;
}

}  // namespace tesmira
