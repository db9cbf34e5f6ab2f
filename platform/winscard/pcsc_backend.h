// The pcsc-lite calls with fixed-width types: the one place where pcsc-lite's 8-byte DWORD and
// LONG meet the 4-byte Windows ones. Only winscard.cpp includes this.
#pragma once

#include <cstdint>

namespace pcsc {

using Result = std::int64_t;  // pcsc-lite LONG; values fit in 32 bits

struct ReaderState {
    const char* reader;
    void* userData;
    std::uint64_t currentState;
    std::uint64_t eventState;
    std::uint64_t atrLength;
    std::uint8_t atr[33];
};

constexpr std::uint64_t kAutoAllocate = ~std::uint64_t{0};

Result establishContext(std::uint64_t scope, std::intptr_t* context);
Result releaseContext(std::intptr_t context);
Result isValidContext(std::intptr_t context);
Result listReaders(std::intptr_t context, char* readers, std::uint64_t* length);
Result freeMemory(std::intptr_t context, const void* memory);
Result connect(std::intptr_t context, const char* reader, std::uint64_t share,
               std::uint64_t protocols, std::intptr_t* card, std::uint64_t* active);
Result reconnect(std::intptr_t card, std::uint64_t share, std::uint64_t protocols,
                 std::uint64_t init, std::uint64_t* active);
Result disconnect(std::intptr_t card, std::uint64_t disposition);
Result beginTransaction(std::intptr_t card);
Result endTransaction(std::intptr_t card, std::uint64_t disposition);
Result status(std::intptr_t card, char* reader, std::uint64_t* readerLength, std::uint64_t* state,
              std::uint64_t* protocol, std::uint8_t* atr, std::uint64_t* atrLength);
Result getStatusChange(std::intptr_t context, std::uint64_t timeout, ReaderState* states,
                       std::uint64_t count);
// protocol: the PCI protocol to send with (T0, T1 or RAW in pcsc-lite numbering).
Result transmit(std::intptr_t card, std::uint64_t protocol, const std::uint8_t* send,
                std::uint64_t sendLength, std::uint8_t* recv, std::uint64_t* recvLength);
Result cancel(std::intptr_t context);

// pcsc-lite's numbering of the values that differ from Windows.
constexpr std::uint64_t kProtocolRaw = 0x0004;

}  // namespace pcsc
