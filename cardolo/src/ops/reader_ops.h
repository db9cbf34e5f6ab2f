// The reader-level operations behind the flat exports: reader list and names, ATR, file-system
// probe, caller-held connections, ATR comparison, card serial and the serial check.
#pragma once

#include <cstdint>

// The opaque record behind a caller-held connection (declared for hosts in cardolo/cardolo.h).
struct ReaderHandle;

namespace cardolo {

std::int32_t readersCount(std::int32_t* count);
std::int32_t readerName(std::int32_t index, char* buffer, std::int32_t* length);
std::int32_t readerAtr(std::int32_t index, char* buffer, std::uint32_t* length);
std::int32_t readersList(char* buffer, std::uint32_t* length);
std::int32_t fileSystemType(std::int32_t index, std::int32_t* type);
std::int32_t connectReader(std::int32_t index, ReaderHandle** handle);
std::int32_t validHandle(ReaderHandle* handle);
std::int32_t disconnectHandle(ReaderHandle* handle);
std::int32_t atrCompare(const char* a, const char* b, const char* mask);

// Reads the 16-character card serial and a terminating zero into out (17 bytes).
std::int32_t readSerial(std::int32_t index, char* out);
// Reads the serial of the card in the reader and compares its first 16 bytes with expected:
// 0 equal, -65 different, or the read's own failure code.
std::int32_t checkSerial(std::int32_t index, const std::uint8_t* expected);

}  // namespace cardolo
