// The card utility library as the manager binds it: "cardolo.dll" loaded by name, each export
// resolved on its first call; a missing library or export raises a RuntimeError.
#pragma once

#include <cstdint>
#include <string>

#include "cardolo/cardolo.h"
#include "win/libloaderapi.h"

namespace tesmira {

class CardoloLibrary final {
  public:
    explicit CardoloLibrary(std::string fileName = "cardolo.dll");
    ~CardoloLibrary();
    CardoloLibrary(const CardoloLibrary&) = delete;
    CardoloLibrary& operator=(const CardoloLibrary&) = delete;

    std::int32_t GetReadersList(char* buffer, std::uint32_t* length);
    std::int32_t GetReadersCount(std::int32_t* count);
    std::int32_t GetATR(std::int32_t index, char* buffer, std::uint32_t* length);
    std::int32_t GetFSType(std::int32_t index, std::int32_t* type);
    std::int32_t GetReaderName(std::int32_t index, char* buffer, std::int32_t* length);
    std::int32_t Connect(std::int32_t index, ReaderHandle** handle);
    std::int32_t Valid(ReaderHandle* handle);
    std::int32_t Disconnect(ReaderHandle* handle);
    std::int32_t AtrCmp(const char* atrA, const char* atrB, const char* mask);
    // The PIN exports, called with their full argument lists.
    std::int32_t ChangePinPuk(std::int32_t index, const unsigned char* serial,
                              const unsigned char* pin, std::int32_t pinLength,
                              const unsigned char* newPin, std::int32_t newPinLength,
                              const unsigned char* puk, std::int32_t pukLength,
                              const unsigned char* newPuk, std::int32_t newPukLength,
                              const unsigned char* dsPin, std::int32_t dsPinLength,
                              const unsigned char* newDsPin, std::int32_t newDsPinLength,
                              const unsigned char* dsPuk, std::int32_t dsPukLength,
                              const unsigned char* newDsPuk, std::int32_t newDsPukLength,
                              const unsigned char* key, std::int32_t flag);
    std::int32_t UnblockPin(std::int32_t index, const unsigned char* serial,
                            const unsigned char* puk, std::int32_t pukLength,
                            const unsigned char* newPin, std::int32_t newPinLength,
                            const unsigned char* dsPuk, std::int32_t dsPukLength,
                            const unsigned char* newDsPin, std::int32_t newDsPinLength,
                            const unsigned char* key, std::int32_t flag);
    std::int32_t UnblockM4(std::int32_t index, const char* puk, const char* newPin);
    std::int32_t UnblockStarcos(std::int32_t index, const char* puk, const char* newPin);
    std::int32_t UnblockSetec(std::int32_t index, const char* puk, const char* newPin);

    const std::string& fileName() const { return fileName_; }

  private:
    // The export's address, loading the library first when needed (a failed load is tried
    // again at the next call, so a library installed later is found).
    FARPROC resolve(const char* name, FARPROC* slot);
    template <typename Fn>
    Fn bind(const char* name, FARPROC* slot) {
        return ProcAs<Fn>(resolve(name, slot));
    }

    std::string fileName_;
    HMODULE module_ = nullptr;
    FARPROC readersList_ = nullptr;
    FARPROC readersCount_ = nullptr;
    FARPROC atr_ = nullptr;
    FARPROC fsType_ = nullptr;
    FARPROC readerName_ = nullptr;
    FARPROC connect_ = nullptr;
    FARPROC valid_ = nullptr;
    FARPROC disconnect_ = nullptr;
    FARPROC atrCmp_ = nullptr;
    FARPROC changePinPuk_ = nullptr;
    FARPROC unblockPin_ = nullptr;
    FARPROC unblockM4_ = nullptr;
    FARPROC unblockStarcos_ = nullptr;
    FARPROC unblockSetec_ = nullptr;
};

// The program's binding of "cardolo.dll", made on first use and kept until exit.
CardoloLibrary& Cardolo();

}  // namespace tesmira
