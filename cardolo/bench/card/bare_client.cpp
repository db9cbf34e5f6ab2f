// BareClient over pcsc-lite's own API.
#include "bare_client.h"

#include <PCSC/winscard.h>

namespace cardolo::bench {

namespace {

void listReaders(SCARDCONTEXT ctx) {
    char* readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    if (SCardListReaders(ctx, nullptr, reinterpret_cast<char*>(&readers), &length) ==
        SCARD_S_SUCCESS) {
        SCardFreeMemory(ctx, readers);
    }
}

}  // namespace

bool BareClient::run(const std::vector<std::vector<std::uint8_t>>& apdus) {
    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
        return false;
    }
    listReaders(ctx);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    bool ok =
        SCardConnect(ctx, reader_.c_str(), SCARD_SHARE_SHARED,
                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) == SCARD_S_SUCCESS;
    if (ok) {
        SCardBeginTransaction(card);
        const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        for (const auto& apdu : apdus) {
            unsigned char response[258];
            DWORD length = sizeof(response);
            ok = ok && SCardTransmit(card, pci, apdu.data(), apdu.size(), nullptr, response,
                                     &length) == SCARD_S_SUCCESS;
        }
        SCardEndTransaction(card, SCARD_LEAVE_CARD);
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    SCardReleaseContext(ctx);
    return ok;
}

bool BareClient::atr() {
    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
        return false;
    }
    listReaders(ctx);
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    bool ok = SCardGetStatusChange(ctx, 0, &state, 1) == SCARD_S_SUCCESS;
    SCardReleaseContext(ctx);
    return ok;
}

}  // namespace cardolo::bench
