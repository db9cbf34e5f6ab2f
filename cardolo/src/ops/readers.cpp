// Reader list, reader names, the reader multi-string and the ATR of a reader's card.
#include <algorithm>
#include <cstring>

#include "card/result_codes.h"
#include "ops/hex.h"
#include "ops/reader_ops.h"
#include "scope/pcsc_context.h"

namespace cardolo {

namespace {

// The checks every reader-indexed query makes before its own work: the index, the length
// pointer, then the reader lookup (which leaves the context established).
template <typename Length>
std::int32_t findReader(std::int32_t index, const Length* length, PcscContext& context,
                        std::string& name) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (length == nullptr) {
        return kErrNothingToDo;
    }
    return lookupReader(index, context, name);
}

}  // namespace

std::int32_t readersCount(std::int32_t* count) {
    if (count == nullptr) {
        return kErrNothingToDo;
    }
    *count = 0;
    PcscContext context;
    if (!context.establish()) {
        return kErrNoContext;
    }
    ReaderList list(context);
    if (!list.load()) {
        return kErrNoReader;
    }
    *count = list.count();
    return kOk;
}

std::int32_t readerName(std::int32_t index, char* buffer, std::int32_t* length) {
    PcscContext context;
    std::string name;
    if (std::int32_t r = findReader(index, length, context, name); r != kOk) {
        return r;
    }
    if (buffer != nullptr && *length > 0) {
        // At most *length characters; a shorter name is terminated and the rest zero-filled, a
        // name of *length characters or more is cut and left unterminated.
        const std::size_t room = static_cast<std::size_t>(*length);
        const std::size_t n = std::min(name.size(), room);
        // Hosts size the buffer from the reported length, which counts no terminator.
        std::memcpy(buffer, name.data(), n);  // NOLINT(bugprone-not-null-terminated-result)
        std::memset(buffer + n, 0, room - n);
    }
    *length = static_cast<std::int32_t>(name.size());
    return kOk;
}

std::int32_t readersList(char* buffer, std::uint32_t* length) {
    if (length == nullptr) {
        return kErrNothingToDo;
    }
    // A length of SCARD_AUTOALLOCATE would have PC/SC allocate the list and store its address in
    // the caller's character buffer; the context that owns that memory is released before we
    // return, so the caller could never free it. Refused like any other failure of the listing.
    if (*length == SCARD_AUTOALLOCATE) {
        return kErrNoReader;
    }
    PcscContext context;
    if (!context.establish()) {
        return kErrNoContext;
    }
    DWORD len = *length;
    if (SCardListReadersA(context.get(), nullptr, buffer, &len) != SCARD_S_SUCCESS) {
        return kErrNoReader;
    }
    *length = len;
    return kOk;
}

std::int32_t readerAtr(std::int32_t index, char* buffer, std::uint32_t* length) {
    PcscContext context;
    std::string name;
    if (std::int32_t r = findReader(index, length, context, name); r != kOk) {
        return r;
    }
    SCARD_READERSTATEA state{};
    state.szReader = name.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChangeA(context.get(), 0, &state, 1) != SCARD_S_SUCCESS) {
        return kErrNoReader;
    }
    const std::uint32_t atrLength = std::min<DWORD>(state.cbAtr, sizeof(state.rgbAtr));
    if (*length < atrLength) {
        return kErrAtrBufferTooShort;
    }
    if ((state.dwEventState & SCARD_STATE_PRESENT) == 0) {
        return kErrNoReader;
    }
    // The text is written only when the buffer holds all of it; the size is reported either way.
    if (buffer != nullptr && *length >= 2 * atrLength) {
        writeHexLower(std::span<const std::uint8_t>(state.rgbAtr, atrLength), buffer);
    }
    *length = 2 * atrLength;
    return kOk;
}

}  // namespace cardolo
