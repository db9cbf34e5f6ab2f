// Caller-held connections (PCSC_Connect / PCSC_Valid / PCSC_Disconnect) and the table that
// validates their opaque handles on every call, so a stale or foreign pointer is refused
// instead of being dereferenced or freed twice.
#include <memory>
#include <mutex>
#include <set>

#include "card/result_codes.h"
#include "ops/reader_ops.h"
#include "scope/pcsc_context.h"

struct ReaderHandle {
    SCARDCONTEXT context = 0;  // owned by the record
    SCARDHANDLE card = 0;      // connected in shared mode
};

namespace cardolo {

namespace {

std::mutex g_handlesMutex;
std::set<ReaderHandle*>& liveHandles() {
    static std::set<ReaderHandle*> handles;
    return handles;
}

bool isLive(ReaderHandle* handle) {
    std::lock_guard lock(g_handlesMutex);
    return liveHandles().count(handle) != 0;
}

}  // namespace

std::int32_t connectReader(std::int32_t index, ReaderHandle** handle) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (handle == nullptr) {
        return kErrNothingToDo;
    }
    PcscContext context;
    std::string name;
    if (std::int32_t r = lookupReader(index, context, name); r != kOk) {
        return r;
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardConnectA(context.get(), name.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx, &card,
                      &protocol) != SCARD_S_SUCCESS ||
        card == 0) {
        return kErrConnect;  // the context is released by its owner on the way out
    }
    auto record = std::make_unique<ReaderHandle>();
    record->card = card;
    {
        std::lock_guard lock(g_handlesMutex);
        liveHandles().insert(record.get());
    }
    record->context = context.release();
    *handle = record.release();
    return kOk;
}

std::int32_t validHandle(ReaderHandle* handle) {
    if (handle == nullptr || !isLive(handle)) {
        return kErrNoContext;
    }
    char reader[1024];
    DWORD readerLength = sizeof(reader);
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE atr[36];
    DWORD atrLength = sizeof(atr);
    LONG rv = SCardStatusA(handle->card, reader, &readerLength, &state, &protocol, atr, &atrLength);
    return rv == SCARD_S_SUCCESS ? kOk : kErrNoContext;
}

std::int32_t disconnectHandle(ReaderHandle* handle) {
    if (handle == nullptr) {
        return kOk;
    }
    {
        std::lock_guard lock(g_handlesMutex);
        if (liveHandles().erase(handle) == 0) {
            return kOk;  // not one of ours, or already disconnected: nothing to release
        }
    }
    std::unique_ptr<ReaderHandle> record(handle);
    SCardDisconnect(record->card, SCARD_LEAVE_CARD);
    SCardReleaseContext(record->context);
    return kOk;
}

}  // namespace cardolo
