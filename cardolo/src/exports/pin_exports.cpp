// Flat exports of the PIN and PUK operations: argument packing and one guarded call each.
#include "cardolo/cardolo.h"
#include "exports/export_guard.h"
#include "ops/pin_ops.h"

using cardolo::guarded;
using cardolo::KeyArg;
using cardolo::PinArg;
using cardolo::PinChange;
using Bytes = const unsigned char*;

VANTOR_EXPORT int32_t WINAPI CNS_DS_ChangePinPuk(
    int32_t index, Bytes serial, Bytes pin, int32_t pinLength, Bytes newPin, int32_t newPinLength,
    Bytes puk, int32_t pukLength, Bytes newPuk, int32_t newPukLength, Bytes dsPin,
    int32_t dsPinLength, Bytes newDsPin, int32_t newDsPinLength, Bytes dsPuk, int32_t dsPukLength,
    Bytes newDsPuk, int32_t newDsPukLength, Bytes key, int32_t flag) {
    return guarded([&] {
        return cardolo::changePinPuk(
            index, serial, PinChange{{pin, pinLength}, {newPin, newPinLength}},
            PinChange{{puk, pukLength}, {newPuk, newPukLength}},
            PinChange{{dsPin, dsPinLength}, {newDsPin, newDsPinLength}},
            PinChange{{dsPuk, dsPukLength}, {newDsPuk, newDsPukLength}}, KeyArg{key, flag});
    });
}

VANTOR_EXPORT int32_t WINAPI CNS_DS_UnblockPin(int32_t index, Bytes serial, Bytes puk,
                                               int32_t pukLength, Bytes newPin,
                                               int32_t newPinLength, Bytes dsPuk,
                                               int32_t dsPukLength, Bytes newDsPin,
                                               int32_t newDsPinLength, Bytes key, int32_t flag) {
    return guarded([&] {
        return cardolo::unblockPin(index, serial, PinArg{puk, pukLength},
                                   PinArg{newPin, newPinLength}, PinArg{dsPuk, dsPukLength},
                                   PinArg{newDsPin, newDsPinLength}, KeyArg{key, flag});
    });
}

VANTOR_EXPORT int32_t WINAPI CNS_DS_VerifyPinPuk(int32_t index, Bytes serial, Bytes pin,
                                                 int32_t pinLength, Bytes puk, int32_t pukLength,
                                                 Bytes dsPin, int32_t dsPinLength, Bytes dsPuk,
                                                 int32_t dsPukLength, Bytes key, int32_t flag) {
    return guarded([&] {
        return cardolo::verifyPinPuk(index, serial, PinArg{pin, pinLength}, PinArg{puk, pukLength},
                                     PinArg{dsPin, dsPinLength}, PinArg{dsPuk, dsPukLength},
                                     KeyArg{key, flag});
    });
}

VANTOR_EXPORT int32_t WINAPI CNS_DS_GetPinLimit(int32_t index, Bytes serial, int32_t* pinMin,
                                                int32_t* pinMax, int32_t* pukMin, int32_t* pukMax,
                                                int32_t* dsPinMin, int32_t* dsPinMax,
                                                int32_t* dsPukMin, int32_t* dsPukMax) {
    return guarded([&] {
        int32_t* const out[8] = {pinMin,   pinMax,   pukMin,   pukMax,
                                 dsPinMin, dsPinMax, dsPukMin, dsPukMax};
        return cardolo::pinLimits(index, serial, out);
    });
}

VANTOR_EXPORT int32_t WINAPI DS_DeactivatePin(int32_t index, Bytes serial, Bytes key,
                                              int32_t flag) {
    return guarded([&] { return cardolo::deactivatePin(index, serial, KeyArg{key, flag}); });
}

// The same operation under its second name.
VANTOR_EXPORT int32_t WINAPI DS_LockPin(int32_t index, Bytes serial, Bytes key, int32_t flag) {
    return guarded([&] { return cardolo::deactivatePin(index, serial, KeyArg{key, flag}); });
}

VANTOR_EXPORT int32_t WINAPI DS_ReactivatePin(int32_t index, Bytes serial, Bytes dsPuk,
                                              int32_t dsPukLength, Bytes newDsPin,
                                              int32_t newDsPinLength, int32_t /*ignored1*/,
                                              int32_t /*ignored2*/, Bytes key, int32_t flag) {
    return guarded([&] {
        return cardolo::reactivatePin(index, serial, PinArg{dsPuk, dsPukLength},
                                      PinArg{newDsPin, newDsPinLength}, KeyArg{key, flag});
    });
}

VANTOR_EXPORT int32_t WINAPI PCSC_Unblock_M4_1111(int32_t index, const char* puk,
                                                  const char* newPin) {
    return guarded([&] { return cardolo::unblockM4(index, puk, newPin); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_Unblock_Starcos(int32_t index, const char* puk,
                                                  const char* newPin) {
    return guarded([&] { return cardolo::unblockStarcos(index, puk, newPin); });
}

// The Setec family needs no unblock command: nothing is sent.
VANTOR_EXPORT int32_t WINAPI PCSC_Unblock_Setec(int32_t, const char*, const char*) {
    return 0;
}
