// Caller-held connections (PCSC_Connect / PCSC_Valid / PCSC_Disconnect) and the table that
// validates their opaque handles on every call, so a stale or foreign pointer is refused
// instead of being dereferenced or freed twice.
#include <map>
#include <memory>
#include <mutex>

#include "card/result_codes.h"
#include "ops/reader_ops.h"
#include "scope/pcsc_context.h"

// The record behind a caller's handle. It owns its PC/SC context and card handle and gives them
// back when the last user lets go of it.
struct ReaderHandle {
    SCARDCONTEXT context = 0;  // owned by the record
    SCARDHANDLE card = 0;      // connected in shared mode

    ReaderHandle() = default;
    ReaderHandle(const ReaderHandle&) = delete;
    ReaderHandle& operator=(const ReaderHandle&) = delete;
    ~ReaderHandle() {
        if (card != 0) {
            SCardDisconnect(card, SCARD_LEAVE_CARD);
        }
        if (context != 0) {
            SCardReleaseContext(context);
        }
    }
};

namespace cardolo {

namespace {

// Live handles, keyed by the address the caller holds. The table shares ownership of each
// record with every call that is using it: a disconnect only takes the handle out of the table,
// and the PC/SC handles are released when the last call in flight is done with them. Without
// that, a PCSC_Valid that found the handle live could reach SCardStatus after another thread's
// PCSC_Disconnect had released the card handle and its context (pcsc-lite then reads its freed
// channel record). The lock covers the table only, never card work.
std::mutex g_handlesMutex;
std::map<ReaderHandle*, std::shared_ptr<ReaderHandle>>& liveHandles() {
    static std::map<ReaderHandle*, std::shared_ptr<ReaderHandle>> handles;
    return handles;
}

std::shared_ptr<ReaderHandle> findLive(ReaderHandle* handle) {
    std::lock_guard lock(g_handlesMutex);
    const auto it = liveHandles().find(handle);
    return it == liveHandles().end() ? nullptr : it->second;
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
    auto record = std::make_shared<ReaderHandle>();
    record->card = card;
    record->context = context.release();
    ReaderHandle* const key = record.get();
    {
        std::lock_guard lock(g_handlesMutex);
        liveHandles().emplace(key, std::move(record));
    }
    *handle = key;
    return kOk;
}

std::int32_t validHandle(ReaderHandle* handle) {
    if (handle == nullptr) {
        return kErrNoContext;
    }
    // Holding the reference keeps the card handle connected until SCardStatus is done with it.
    const std::shared_ptr<ReaderHandle> record = findLive(handle);
    if (!record) {
        return kErrNoContext;
    }
    char reader[1024];
    DWORD readerLength = sizeof(reader);
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE atr[36];
    DWORD atrLength = sizeof(atr);
    LONG rv = SCardStatusA(record->card, reader, &readerLength, &state, &protocol, atr, &atrLength);
    return rv == SCARD_S_SUCCESS ? kOk : kErrNoContext;
}

std::int32_t disconnectHandle(ReaderHandle* handle) {
    if (handle == nullptr) {
        return kOk;
    }
    std::shared_ptr<ReaderHandle> record;
    {
        std::lock_guard lock(g_handlesMutex);
        const auto it = liveHandles().find(handle);
        if (it == liveHandles().end()) {
            return kOk;  // not one of ours, or already disconnected: nothing to release
        }
        record = std::move(it->second);
        liveHandles().erase(it);
    }
    // Disconnects here, or in the last call still using the record when it lets go.
    record.reset();
    return kOk;
}

}  // namespace cardolo
