// The SCard* subset of winscard with Windows types, over pcsc-lite. Widths are converted at the
// pcsc-lite boundary (its DWORD is 8 bytes on x86_64) and nowhere else.
#pragma once

#include "win/windef.h"
#include "win/winerror.h"

using SCARDCONTEXT = ULONG_PTR;
using LPSCARDCONTEXT = SCARDCONTEXT*;
using SCARDHANDLE = ULONG_PTR;
using LPSCARDHANDLE = SCARDHANDLE*;

#define SCARD_AUTOALLOCATE static_cast<DWORD>(-1)

#define SCARD_SCOPE_USER 0
#define SCARD_SCOPE_TERMINAL 1
#define SCARD_SCOPE_SYSTEM 2

#define SCARD_SHARE_EXCLUSIVE 1
#define SCARD_SHARE_SHARED 2
#define SCARD_SHARE_DIRECT 3

#define SCARD_LEAVE_CARD 0
#define SCARD_RESET_CARD 1
#define SCARD_UNPOWER_CARD 2
#define SCARD_EJECT_CARD 3

#define SCARD_PROTOCOL_UNDEFINED 0x00000000u
#define SCARD_PROTOCOL_T0 0x00000001u
#define SCARD_PROTOCOL_T1 0x00000002u
#define SCARD_PROTOCOL_RAW 0x00010000u
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)

// SCardStatus states (the Windows numbering).
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// SCardGetStatusChange reader states.
#define SCARD_STATE_UNAWARE 0x00000000u
#define SCARD_STATE_IGNORE 0x00000001u
#define SCARD_STATE_CHANGED 0x00000002u
#define SCARD_STATE_UNKNOWN 0x00000004u
#define SCARD_STATE_UNAVAILABLE 0x00000008u
#define SCARD_STATE_EMPTY 0x00000010u
#define SCARD_STATE_PRESENT 0x00000020u
#define SCARD_STATE_ATRMATCH 0x00000040u
#define SCARD_STATE_EXCLUSIVE 0x00000080u
#define SCARD_STATE_INUSE 0x00000100u
#define SCARD_STATE_MUTE 0x00000200u
#define SCARD_STATE_UNPOWERED 0x00000400u

#define INFINITE 0xFFFFFFFFu

#define SCARD_ATR_LENGTH 33  // ISO 7816 maximum ATR length (Windows reserves 36 bytes).

struct SCARD_IO_REQUEST {
    DWORD dwProtocol;
    DWORD cbPciLength;
};
using PSCARD_IO_REQUEST = SCARD_IO_REQUEST*;
using LPSCARD_IO_REQUEST = SCARD_IO_REQUEST*;
using LPCSCARD_IO_REQUEST = const SCARD_IO_REQUEST*;

struct SCARD_READERSTATEA {
    LPCSTR szReader;
    LPVOID pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    BYTE rgbAtr[36];
};
using LPSCARD_READERSTATEA = SCARD_READERSTATEA*;

extern const SCARD_IO_REQUEST g_rgSCardT0Pci;
extern const SCARD_IO_REQUEST g_rgSCardT1Pci;
extern const SCARD_IO_REQUEST g_rgSCardRawPci;
#define SCARD_PCI_T0 (&g_rgSCardT0Pci)
#define SCARD_PCI_T1 (&g_rgSCardT1Pci)
#define SCARD_PCI_RAW (&g_rgSCardRawPci)

LONG SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                           LPSCARDCONTEXT context);
LONG SCardReleaseContext(SCARDCONTEXT context);
LONG SCardIsValidContext(SCARDCONTEXT context);
// groups must be null (all readers). With *readersLength == SCARD_AUTOALLOCATE, readers is a
// char** that receives a buffer to be freed with SCardFreeMemory. Lengths count characters
// including every terminator of the multi-string.
LONG SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD readersLength);
LONG SCardFreeMemory(SCARDCONTEXT context, LPCVOID memory);
LONG SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD shareMode, DWORD preferredProtocols,
                   LPSCARDHANDLE card, LPDWORD activeProtocol);
LONG SCardReconnect(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols,
                    DWORD initialization, LPDWORD activeProtocol);
LONG SCardDisconnect(SCARDHANDLE card, DWORD disposition);
LONG SCardBeginTransaction(SCARDHANDLE card);
LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition);
// readerName/atr may be null; their lengths are in/out (SCARD_AUTOALLOCATE is not supported here).
LONG SCardStatusA(SCARDHANDLE card, LPSTR readerName, LPDWORD readerLength, LPDWORD state,
                  LPDWORD protocol, LPBYTE atr, LPDWORD atrLength);
LONG SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA readerStates,
                           DWORD readers);
LONG SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE sendBuffer,
                   DWORD sendLength, LPSCARD_IO_REQUEST recvPci, LPBYTE recvBuffer,
                   LPDWORD recvLength);
LONG SCardCancel(SCARDCONTEXT context);
