// The real CardChannel: forwards to the winscard calls.
#include "card/card_channel.h"

#include "win/synchapi.h"

namespace cardolo {

namespace {

class PcscChannel final : public CardChannel {
  public:
    LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE* card,
                 DWORD* protocol) override {
        return SCardConnectA(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx, card,
                             protocol);
    }
    LONG reconnect(SCARDHANDLE card, DWORD protocol, DWORD* active) override {
        return SCardReconnect(card, SCARD_SHARE_SHARED, protocol, SCARD_RESET_CARD, active);
    }
    LONG disconnect(SCARDHANDLE card) override { return SCardDisconnect(card, SCARD_LEAVE_CARD); }
    LONG beginTransaction(SCARDHANDLE card) override { return SCardBeginTransaction(card); }
    LONG endTransaction(SCARDHANDLE card) override {
        return SCardEndTransaction(card, SCARD_LEAVE_CARD);
    }
    LONG status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) override {
        DWORD state = 0;
        DWORD proto = 0;
        LONG rv = SCardStatusA(card, nullptr, nullptr, &state, &proto, atr, atrLength);
        if (protocol != nullptr) {
            *protocol = proto;
        }
        return rv;
    }
    LONG transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
                  DWORD* recvLength) override {
        const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        return SCardTransmit(card, pci, send, sendLength, nullptr, recv, recvLength);
    }
    void pause(DWORD milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

CardChannel& pcscChannel() {
    static PcscChannel channel;
    return channel;
}

}  // namespace cardolo
