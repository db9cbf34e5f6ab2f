// Thin calls into pcsc-lite with its own types; see pcsc_backend.h for why this file exists.
#include "pcsc_backend.h"

#include <PCSC/winscard.h>

#include <cstring>

namespace pcsc {

static_assert(sizeof(SCARDCONTEXT) == sizeof(std::intptr_t));

Result establishContext(std::uint64_t scope, std::intptr_t* context) {
    SCARDCONTEXT ctx = 0;
    LONG rv = SCardEstablishContext(static_cast<DWORD>(scope), nullptr, nullptr, &ctx);
    *context = ctx;
    return rv;
}

Result releaseContext(std::intptr_t context) {
    return SCardReleaseContext(context);
}

Result isValidContext(std::intptr_t context) {
    return SCardIsValidContext(context);
}

Result listReaders(std::intptr_t context, char* readers, std::uint64_t* length) {
    DWORD len = static_cast<DWORD>(*length);
    LONG rv = SCardListReaders(context, nullptr, readers, &len);
    *length = len;
    return rv;
}

Result freeMemory(std::intptr_t context, const void* memory) {
    return SCardFreeMemory(context, memory);
}

Result connect(std::intptr_t context, const char* reader, std::uint64_t share,
               std::uint64_t protocols, std::intptr_t* card, std::uint64_t* active) {
    SCARDHANDLE h = 0;
    DWORD act = 0;
    LONG rv = SCardConnect(context, reader, static_cast<DWORD>(share),
                           static_cast<DWORD>(protocols), &h, &act);
    *card = h;
    *active = act;
    return rv;
}

Result reconnect(std::intptr_t card, std::uint64_t share, std::uint64_t protocols,
                 std::uint64_t init, std::uint64_t* active) {
    DWORD act = 0;
    LONG rv = SCardReconnect(card, static_cast<DWORD>(share), static_cast<DWORD>(protocols),
                             static_cast<DWORD>(init), &act);
    *active = act;
    return rv;
}

Result disconnect(std::intptr_t card, std::uint64_t disposition) {
    return SCardDisconnect(card, static_cast<DWORD>(disposition));
}

Result beginTransaction(std::intptr_t card) {
    return SCardBeginTransaction(card);
}

Result endTransaction(std::intptr_t card, std::uint64_t disposition) {
    return SCardEndTransaction(card, static_cast<DWORD>(disposition));
}

Result status(std::intptr_t card, char* reader, std::uint64_t* readerLength, std::uint64_t* state,
              std::uint64_t* protocol, std::uint8_t* atr, std::uint64_t* atrLength) {
    DWORD rlen = readerLength != nullptr ? static_cast<DWORD>(*readerLength) : 0;
    DWORD st = 0;
    DWORD proto = 0;
    DWORD alen = atrLength != nullptr ? static_cast<DWORD>(*atrLength) : 0;
    LONG rv = SCardStatus(card, reader, readerLength != nullptr ? &rlen : nullptr, &st, &proto, atr,
                          atrLength != nullptr ? &alen : nullptr);
    if (readerLength != nullptr) {
        *readerLength = rlen;
    }
    if (state != nullptr) {
        *state = st;
    }
    if (protocol != nullptr) {
        *protocol = proto;
    }
    if (atrLength != nullptr) {
        *atrLength = alen;
    }
    return rv;
}

Result getStatusChange(std::intptr_t context, std::uint64_t timeout, ReaderState* states,
                       std::uint64_t count) {
    // A small fixed bound: the callers in the suite watch at most a handful of readers.
    constexpr std::uint64_t kMax = 16;
    if (count > kMax) {
        return SCARD_E_INVALID_PARAMETER;
    }
    SCARD_READERSTATE native[kMax];
    std::memset(native, 0, sizeof(native));
    for (std::uint64_t i = 0; i < count; ++i) {
        native[i].szReader = states[i].reader;
        native[i].pvUserData = states[i].userData;
        native[i].dwCurrentState = static_cast<DWORD>(states[i].currentState);
        native[i].dwEventState = static_cast<DWORD>(states[i].eventState);
    }
    LONG rv = SCardGetStatusChange(context, static_cast<DWORD>(timeout), native,
                                   static_cast<DWORD>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        states[i].eventState = native[i].dwEventState;
        states[i].atrLength = native[i].cbAtr <= sizeof(states[i].atr) ? native[i].cbAtr : 0;
        std::memcpy(states[i].atr, native[i].rgbAtr, states[i].atrLength);
    }
    return rv;
}

Result transmit(std::intptr_t card, std::uint64_t protocol, const std::uint8_t* send,
                std::uint64_t sendLength, std::uint8_t* recv, std::uint64_t* recvLength) {
    SCARD_IO_REQUEST pci{static_cast<DWORD>(protocol), sizeof(SCARD_IO_REQUEST)};
    DWORD rlen = static_cast<DWORD>(*recvLength);
    LONG rv = SCardTransmit(card, &pci, send, static_cast<DWORD>(sendLength), nullptr, recv, &rlen);
    *recvLength = rlen;
    return rv;
}

Result cancel(std::intptr_t context) {
    return SCardCancel(context);
}

}  // namespace pcsc
