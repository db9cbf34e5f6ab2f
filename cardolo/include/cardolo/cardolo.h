/* The flat interface of cardolo.so, the card utility library: prototypes of its exports and the
 * function-pointer types a host uses to bind them by name. Results: 0 success, negative library
 * codes, positive values are card status words. */
#ifndef CARDOLO_CARDOLO_H
#define CARDOLO_CARDOLO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The opaque connection record of PCSC_Connect. */
typedef struct ReaderHandle ReaderHandle;

typedef int32_t (*PCSC_GetReadersCount_t)(int32_t* count);
typedef int32_t (*PCSC_GetReaderName_t)(int32_t index, char* buffer, int32_t* length);
typedef int32_t (*PCSC_GetATR_t)(int32_t index, char* buffer, uint32_t* length);
typedef int32_t (*PCSC_GetFSType_t)(int32_t index, int32_t* type);
typedef int32_t (*PCSC_GetReadersList_t)(char* buffer, uint32_t* length);
typedef int32_t (*PCSC_Connect_t)(int32_t index, ReaderHandle** handle);
typedef int32_t (*PCSC_Valid_t)(ReaderHandle* handle);
typedef int32_t (*PCSC_Disconnect_t)(ReaderHandle* handle);
typedef int32_t (*PCSC_AtrCmp_t)(const char* atrA, const char* atrB, const char* mask);
typedef int32_t (*CARDOLO_ChangeSetting_t)(const char* name, int32_t value);
typedef int32_t (*CNS_GetSerial_t)(int32_t index, char* serial);
typedef int32_t (*CNS_DS_VerifyPinPuk_t)(int32_t index, const unsigned char* serial,
                                         const unsigned char* pin, int32_t pinLength,
                                         const unsigned char* puk, int32_t pukLength,
                                         const unsigned char* dsPin, int32_t dsPinLength,
                                         const unsigned char* dsPuk, int32_t dsPukLength,
                                         const unsigned char* key, int32_t flag);
typedef int32_t (*CNS_DS_ChangePinPuk_t)(
    int32_t index, const unsigned char* serial, const unsigned char* pin, int32_t pinLength,
    const unsigned char* newPin, int32_t newPinLength, const unsigned char* puk, int32_t pukLength,
    const unsigned char* newPuk, int32_t newPukLength, const unsigned char* dsPin,
    int32_t dsPinLength, const unsigned char* newDsPin, int32_t newDsPinLength,
    const unsigned char* dsPuk, int32_t dsPukLength, const unsigned char* newDsPuk,
    int32_t newDsPukLength, const unsigned char* key, int32_t flag);
typedef int32_t (*CNS_DS_UnblockPin_t)(int32_t index, const unsigned char* serial,
                                       const unsigned char* puk, int32_t pukLength,
                                       const unsigned char* newPin, int32_t newPinLength,
                                       const unsigned char* dsPuk, int32_t dsPukLength,
                                       const unsigned char* newDsPin, int32_t newDsPinLength,
                                       const unsigned char* key, int32_t flag);
typedef int32_t (*CNS_DS_GetPinLimit_t)(int32_t index, const unsigned char* serial, int32_t* pinMin,
                                        int32_t* pinMax, int32_t* pukMin, int32_t* pukMax,
                                        int32_t* dsPinMin, int32_t* dsPinMax, int32_t* dsPukMin,
                                        int32_t* dsPukMax);
typedef int32_t (*DS_DeactivatePin_t)(int32_t index, const unsigned char* serial,
                                      const unsigned char* key, int32_t flag);
typedef DS_DeactivatePin_t DS_LockPin_t;
typedef int32_t (*DS_ReactivatePin_t)(int32_t index, const unsigned char* serial,
                                      const unsigned char* dsPuk, int32_t dsPukLength,
                                      const unsigned char* newDsPin, int32_t newDsPinLength,
                                      int32_t ignored1, int32_t ignored2, const unsigned char* key,
                                      int32_t flag);
typedef int32_t (*PCSC_Unblock_t)(int32_t index, const char* puk, const char* newPin);

int32_t PCSC_GetReadersCount(int32_t* count);
int32_t PCSC_GetReaderName(int32_t index, char* buffer, int32_t* length);
int32_t PCSC_GetATR(int32_t index, char* buffer, uint32_t* length);
int32_t PCSC_GetFSType(int32_t index, int32_t* type);
int32_t PCSC_GetReadersList(char* buffer, uint32_t* length);
int32_t PCSC_Connect(int32_t index, ReaderHandle** handle);
int32_t PCSC_Valid(ReaderHandle* handle);
int32_t PCSC_Disconnect(ReaderHandle* handle);
int32_t PCSC_AtrCmp(const char* atrA, const char* atrB, const char* mask);
int32_t CARDOLO_ChangeSetting(const char* name, int32_t value);
int32_t CNS_GetSerial(int32_t index, char* serial);
int32_t CNS_DS_VerifyPinPuk(int32_t index, const unsigned char* serial, const unsigned char* pin,
                            int32_t pinLength, const unsigned char* puk, int32_t pukLength,
                            const unsigned char* dsPin, int32_t dsPinLength,
                            const unsigned char* dsPuk, int32_t dsPukLength,
                            const unsigned char* key, int32_t flag);
int32_t CNS_DS_ChangePinPuk(int32_t index, const unsigned char* serial, const unsigned char* pin,
                            int32_t pinLength, const unsigned char* newPin, int32_t newPinLength,
                            const unsigned char* puk, int32_t pukLength,
                            const unsigned char* newPuk, int32_t newPukLength,
                            const unsigned char* dsPin, int32_t dsPinLength,
                            const unsigned char* newDsPin, int32_t newDsPinLength,
                            const unsigned char* dsPuk, int32_t dsPukLength,
                            const unsigned char* newDsPuk, int32_t newDsPukLength,
                            const unsigned char* key, int32_t flag);
int32_t CNS_DS_UnblockPin(int32_t index, const unsigned char* serial, const unsigned char* puk,
                          int32_t pukLength, const unsigned char* newPin, int32_t newPinLength,
                          const unsigned char* dsPuk, int32_t dsPukLength,
                          const unsigned char* newDsPin, int32_t newDsPinLength,
                          const unsigned char* key, int32_t flag);
int32_t CNS_DS_GetPinLimit(int32_t index, const unsigned char* serial, int32_t* pinMin,
                           int32_t* pinMax, int32_t* pukMin, int32_t* pukMax, int32_t* dsPinMin,
                           int32_t* dsPinMax, int32_t* dsPukMin, int32_t* dsPukMax);
int32_t DS_DeactivatePin(int32_t index, const unsigned char* serial, const unsigned char* key,
                         int32_t flag);
int32_t DS_LockPin(int32_t index, const unsigned char* serial, const unsigned char* key,
                   int32_t flag);
int32_t DS_ReactivatePin(int32_t index, const unsigned char* serial, const unsigned char* dsPuk,
                         int32_t dsPukLength, const unsigned char* newDsPin, int32_t newDsPinLength,
                         int32_t ignored1, int32_t ignored2, const unsigned char* key,
                         int32_t flag);
int32_t PCSC_Unblock_M4_1111(int32_t index, const char* puk, const char* newPin);
int32_t PCSC_Unblock_Starcos(int32_t index, const char* puk, const char* newPin);
int32_t PCSC_Unblock_Setec(int32_t index, const char* puk, const char* newPin);

#ifdef __cplusplus
}
#endif

#endif /* CARDOLO_CARDOLO_H */
