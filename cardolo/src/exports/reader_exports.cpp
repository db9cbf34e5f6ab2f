// Flat exports of reader access, card identification and the card serial: argument guards and
// one call each into the library.
#include "cardolo/cardolo.h"
#include "exports/export_guard.h"
#include "ops/reader_ops.h"

using cardolo::guarded;

VANTOR_EXPORT int32_t WINAPI PCSC_GetReadersCount(int32_t* count) {
    return guarded([&] { return cardolo::readersCount(count); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_GetReaderName(int32_t index, char* buffer, int32_t* length) {
    return guarded([&] { return cardolo::readerName(index, buffer, length); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_GetATR(int32_t index, char* buffer, uint32_t* length) {
    return guarded([&] { return cardolo::readerAtr(index, buffer, length); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_GetFSType(int32_t index, int32_t* type) {
    return guarded([&] { return cardolo::fileSystemType(index, type); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_GetReadersList(char* buffer, uint32_t* length) {
    return guarded([&] { return cardolo::readersList(buffer, length); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_Connect(int32_t index, ReaderHandle** handle) {
    return guarded([&] { return cardolo::connectReader(index, handle); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_Valid(ReaderHandle* handle) {
    return guarded([&] { return cardolo::validHandle(handle); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_Disconnect(ReaderHandle* handle) {
    return guarded([&] { return cardolo::disconnectHandle(handle); });
}

VANTOR_EXPORT int32_t WINAPI PCSC_AtrCmp(const char* atrA, const char* atrB, const char* mask) {
    return guarded([&] { return cardolo::atrCompare(atrA, atrB, mask); });
}

VANTOR_EXPORT int32_t WINAPI CNS_GetSerial(int32_t index, char* serial) {
    return guarded([&] { return cardolo::readSerial(index, serial); });
}
