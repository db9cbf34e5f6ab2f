// The reader boundary of the card classes: the PC/SC calls they make, behind one small interface
// so that tests can inject the reader faults a real reader cannot be made to produce.
#pragma once

#include <string>

#include "win/winscard.h"

namespace cardolo {

class CardChannel {
  public:
    virtual ~CardChannel() = default;

    virtual LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE* card,
                         DWORD* protocol) = 0;
    virtual LONG reconnect(SCARDHANDLE card, DWORD protocol, DWORD* active) = 0;
    virtual LONG disconnect(SCARDHANDLE card) = 0;
    virtual LONG beginTransaction(SCARDHANDLE card) = 0;
    virtual LONG endTransaction(SCARDHANDLE card) = 0;
    // SCardStatusA; protocol, atr and atrLength may be null.
    virtual LONG status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) = 0;
    virtual LONG transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength,
                          BYTE* recv, DWORD* recvLength) = 0;
    // The pause between retries; a stand-in may shorten it so tests of the bounds stay quick.
    virtual void pause(DWORD milliseconds) = 0;
};

// The real reader channel over winscard, shared by every card object of the process.
CardChannel& pcscChannel();

}  // namespace cardolo
