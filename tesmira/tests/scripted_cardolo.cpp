// Test library with the card utility library's reader exports: forwards each to the real
// cardolo.so, and adds a scripted reader to the reader list on demand. pcscd keeps the readers
// of its configuration for its whole life, so a test that needs the reader list to change (a
// reader plugged in) changes it here, one layer above PC/SC.
#include <cstring>

#include "cardolo/cardolo.h"
#include "win/libloaderapi.h"
#include "win/windef.h"

namespace {

bool g_extraReader = false;
bool g_noReaders = false;

HMODULE Real() {
    static HMODULE module = LoadLibraryA(TESMIRA_REAL_CARDOLO);
    return module;
}

template <typename Fn>
Fn Forward(const char* name) {
    HMODULE module = Real();
    return module != nullptr ? ProcAs<Fn>(GetProcAddress(module, name)) : nullptr;
}

}  // namespace

// Adds (on) or removes (off) the scripted reader at the end of the reader list.
VANTOR_EXPORT void ScriptedCardolo_SetExtraReader(int on) {
    g_extraReader = on != 0;
}

// Every reader unplugged (on): the list and the count fail as PC/SC's "no readers" makes them.
VANTOR_EXPORT void ScriptedCardolo_SetNoReaders(int on) {
    g_noReaders = on != 0;
}

VANTOR_EXPORT int32_t PCSC_GetReadersList(char* buffer, uint32_t* length) {
    if (g_noReaders) {
        return -2;
    }
    auto fn = Forward<PCSC_GetReadersList_t>("PCSC_GetReadersList");
    if (fn == nullptr || length == nullptr) {
        return -2;
    }
    const uint32_t capacity = *length;
    const int32_t rc = fn(buffer, length);
    if (rc != 0 || !g_extraReader || buffer == nullptr) {
        return rc;
    }
    // The multi-string ends in two NULs; the scripted name goes before the final one.
    static const char kExtra[] = "Scripted Reader 00";
    const uint32_t used = *length;
    if (used == 0 || used + sizeof(kExtra) > capacity) {
        return -2;
    }
    std::memcpy(buffer + used - 1, kExtra, sizeof(kExtra));
    buffer[used - 1 + sizeof(kExtra)] = '\0';
    *length = used + sizeof(kExtra);
    return 0;
}

VANTOR_EXPORT int32_t PCSC_GetReadersCount(int32_t* count) {
    if (g_noReaders) {
        return -2;
    }
    auto fn = Forward<PCSC_GetReadersCount_t>("PCSC_GetReadersCount");
    return fn != nullptr ? fn(count) : -2;
}
VANTOR_EXPORT int32_t PCSC_GetATR(int32_t index, char* buffer, uint32_t* length) {
    auto fn = Forward<PCSC_GetATR_t>("PCSC_GetATR");
    return fn != nullptr ? fn(index, buffer, length) : -2;
}
VANTOR_EXPORT int32_t PCSC_GetFSType(int32_t index, int32_t* type) {
    auto fn = Forward<PCSC_GetFSType_t>("PCSC_GetFSType");
    return fn != nullptr ? fn(index, type) : -2;
}
VANTOR_EXPORT int32_t PCSC_GetReaderName(int32_t index, char* buffer, int32_t* length) {
    auto fn = Forward<PCSC_GetReaderName_t>("PCSC_GetReaderName");
    return fn != nullptr ? fn(index, buffer, length) : -2;
}
VANTOR_EXPORT int32_t PCSC_Connect(int32_t index, ReaderHandle** handle) {
    auto fn = Forward<PCSC_Connect_t>("PCSC_Connect");
    return fn != nullptr ? fn(index, handle) : -2;
}
VANTOR_EXPORT int32_t PCSC_Valid(ReaderHandle* handle) {
    auto fn = Forward<PCSC_Valid_t>("PCSC_Valid");
    return fn != nullptr ? fn(handle) : -1;
}
VANTOR_EXPORT int32_t PCSC_Disconnect(ReaderHandle* handle) {
    auto fn = Forward<PCSC_Disconnect_t>("PCSC_Disconnect");
    return fn != nullptr ? fn(handle) : 0;
}
VANTOR_EXPORT int32_t PCSC_AtrCmp(const char* a, const char* b, const char* mask) {
    auto fn = Forward<PCSC_AtrCmp_t>("PCSC_AtrCmp");
    return fn != nullptr ? fn(a, b, mask) : -1;
}
