// The Windows SCard* calls over pcsc-lite: width conversion, Windows numbering of protocols and
// card states, and the pcsc-lite quirks fixed in this one place.
#include "win/winscard.h"

#include <cstring>
#include <limits>

#include "pcsc_backend.h"

const SCARD_IO_REQUEST g_rgSCardT0Pci{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci{SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

// pcsc-lite returns its codes in a 64-bit long; every value it defines fits in 32 bits.
LONG toWin(pcsc::Result rv) {
    return static_cast<LONG>(static_cast<std::uint32_t>(rv));
}

std::intptr_t ctx(SCARDCONTEXT c) {
    return static_cast<std::intptr_t>(c);
}

// Windows protocol numbering to pcsc-lite (only RAW differs).
std::uint64_t protocolsToPcsc(DWORD protocols) {
    std::uint64_t out = protocols & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if ((protocols & SCARD_PROTOCOL_RAW) != 0) {
        out |= pcsc::kProtocolRaw;
    }
    return out;
}

DWORD protocolsFromPcsc(std::uint64_t protocols) {
    DWORD out = static_cast<DWORD>(protocols & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    if ((protocols & pcsc::kProtocolRaw) != 0) {
        out |= SCARD_PROTOCOL_RAW;
    }
    return out;
}

// pcsc-lite reports the card state as a bit mask; Windows as one number, the furthest state.
DWORD stateFromPcsc(std::uint64_t mask) {
    if (mask & 0x0040)
        return SCARD_SPECIFIC;
    if (mask & 0x0020)
        return SCARD_NEGOTIABLE;
    if (mask & 0x0010)
        return SCARD_POWERED;
    if (mask & 0x0008)
        return SCARD_SWALLOWED;
    if (mask & 0x0004)
        return SCARD_PRESENT;
    if (mask & 0x0002)
        return SCARD_ABSENT;
    return SCARD_UNKNOWN;
}

}  // namespace

LONG SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    if (context == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    std::intptr_t c = 0;
    LONG rv = toWin(pcsc::establishContext(scope, &c));
    *context = rv == SCARD_S_SUCCESS ? static_cast<SCARDCONTEXT>(c) : 0;
    return rv;
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
    return toWin(pcsc::releaseContext(ctx(context)));
}

LONG SCardIsValidContext(SCARDCONTEXT context) {
    return toWin(pcsc::isValidContext(ctx(context)));
}

LONG SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD readersLength) {
    if (readersLength == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (groups != nullptr && *groups != '\0') {
        // Reader groups are not part of the subset: the suite always lists every reader.
        return SCARD_E_INVALID_PARAMETER;
    }
    std::uint64_t len = *readersLength == SCARD_AUTOALLOCATE ? pcsc::kAutoAllocate : *readersLength;
    if (readers == nullptr && len != pcsc::kAutoAllocate) {
        len = 0;  // a size query
    }
    LONG rv = toWin(pcsc::listReaders(ctx(context), readers, &len));
    if (rv == SCARD_S_SUCCESS || rv == SCARD_E_INSUFFICIENT_BUFFER) {
        *readersLength = len > std::numeric_limits<DWORD>::max() ? 0 : static_cast<DWORD>(len);
    }
    return rv;
}

LONG SCardFreeMemory(SCARDCONTEXT context, LPCVOID memory) {
    return toWin(pcsc::freeMemory(ctx(context), memory));
}

LONG SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD shareMode, DWORD preferredProtocols,
                   LPSCARDHANDLE card, LPDWORD activeProtocol) {
    if (reader == nullptr || card == nullptr || activeProtocol == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    std::intptr_t h = 0;
    std::uint64_t active = 0;
    LONG rv = toWin(pcsc::connect(ctx(context), reader, shareMode,
                                  protocolsToPcsc(preferredProtocols), &h, &active));
    *card = rv == SCARD_S_SUCCESS ? static_cast<SCARDHANDLE>(h) : 0;
    *activeProtocol = rv == SCARD_S_SUCCESS ? protocolsFromPcsc(active) : 0;
    return rv;
}

LONG SCardReconnect(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols,
                    DWORD initialization, LPDWORD activeProtocol) {
    std::uint64_t active = 0;
    LONG rv = toWin(pcsc::reconnect(ctx(card), shareMode, protocolsToPcsc(preferredProtocols),
                                    initialization, &active));
    if (activeProtocol != nullptr) {
        *activeProtocol = protocolsFromPcsc(active);
    }
    return rv;
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    return toWin(pcsc::disconnect(ctx(card), disposition));
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
    return toWin(pcsc::beginTransaction(ctx(card)));
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    return toWin(pcsc::endTransaction(ctx(card), disposition));
}

LONG SCardStatusA(SCARDHANDLE card, LPSTR readerName, LPDWORD readerLength, LPDWORD state,
                  LPDWORD protocol, LPBYTE atr, LPDWORD atrLength) {
    if ((readerLength != nullptr && *readerLength == SCARD_AUTOALLOCATE) ||
        (atrLength != nullptr && *atrLength == SCARD_AUTOALLOCATE)) {
        return SCARD_E_INVALID_PARAMETER;
    }
    std::uint64_t rlen = readerLength != nullptr ? *readerLength : 0;
    std::uint64_t alen = atrLength != nullptr ? *atrLength : 0;
    std::uint64_t st = 0;
    std::uint64_t proto = 0;
    // pcsc-lite fails the whole call when a buffer is too small for the reader name, where
    // Windows only reports it; asking with null buffers first would race with card changes, so
    // the names are fetched into local buffers and copied out under the Windows rules.
    char nameBuf[1024];
    std::uint64_t nameLen = sizeof(nameBuf);
    std::uint8_t atrBuf[36];
    std::uint64_t atrLen = sizeof(atrBuf);
    LONG rv = toWin(pcsc::status(ctx(card), nameBuf, &nameLen, &st, &proto, atrBuf, &atrLen));
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    LONG result = SCARD_S_SUCCESS;
    if (readerLength != nullptr) {
        if (readerName != nullptr) {
            if (rlen < nameLen) {
                result = SCARD_E_INSUFFICIENT_BUFFER;
            } else {
                std::memcpy(readerName, nameBuf, nameLen);
            }
        }
        *readerLength = static_cast<DWORD>(nameLen);
    }
    if (atrLength != nullptr) {
        if (atr != nullptr) {
            if (alen < atrLen) {
                result = SCARD_E_INSUFFICIENT_BUFFER;
            } else {
                std::memcpy(atr, atrBuf, atrLen);
            }
        }
        *atrLength = static_cast<DWORD>(atrLen);
    }
    if (state != nullptr) {
        *state = stateFromPcsc(st);
    }
    if (protocol != nullptr) {
        *protocol = protocolsFromPcsc(proto);
    }
    return result;
}

LONG SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA readerStates,
                           DWORD readers) {
    constexpr DWORD kMax = 16;
    if (readers > kMax || (readers > 0 && readerStates == nullptr)) {
        return SCARD_E_INVALID_PARAMETER;
    }
    pcsc::ReaderState native[kMax]{};
    for (DWORD i = 0; i < readers; ++i) {
        native[i].reader = readerStates[i].szReader;
        native[i].userData = readerStates[i].pvUserData;
        native[i].currentState = readerStates[i].dwCurrentState;
        native[i].eventState = readerStates[i].dwEventState;
    }
    // Windows INFINITE is 0xFFFFFFFF, the same value pcsc-lite uses.
    LONG rv = toWin(pcsc::getStatusChange(ctx(context), timeout, native, readers));
    for (DWORD i = 0; i < readers; ++i) {
        readerStates[i].dwEventState = static_cast<DWORD>(native[i].eventState);
        readerStates[i].cbAtr = static_cast<DWORD>(native[i].atrLength);
        std::memcpy(readerStates[i].rgbAtr, native[i].atr, native[i].atrLength);
    }
    return rv;
}

LONG SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE sendBuffer,
                   DWORD sendLength, LPSCARD_IO_REQUEST recvPci, LPBYTE recvBuffer,
                   LPDWORD recvLength) {
    if (sendPci == nullptr || sendBuffer == nullptr || recvBuffer == nullptr ||
        recvLength == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    std::uint64_t rlen = *recvLength;
    LONG rv = toWin(pcsc::transmit(ctx(card), protocolsToPcsc(sendPci->dwProtocol), sendBuffer,
                                   sendLength, recvBuffer, &rlen));
    if (recvPci != nullptr) {
        recvPci->dwProtocol = sendPci->dwProtocol;
        recvPci->cbPciLength = sizeof(SCARD_IO_REQUEST);
    }
    *recvLength =
        rv == SCARD_S_SUCCESS || rv == SCARD_E_INSUFFICIENT_BUFFER ? static_cast<DWORD>(rlen) : 0;
    return rv;
}

LONG SCardCancel(SCARDCONTEXT context) {
    return toWin(pcsc::cancel(ctx(context)));
}
