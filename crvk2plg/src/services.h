// The operations both plug-in generations offer, on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace crvk2plg {

// MessageBoxA owned by the caller's window; its result (0 when no box could be shown).
int32_t showMessage(const char* text, const char* caption, uint32_t type);
// Messages 1 and 2 as a Yes/No warning: 1 on Yes, else 0.
int32_t askRetry();
// The PIN entry dialog: 0 with the PIN copied, -1 when cancelled (buffer untouched).
int32_t askPin(char* buffer, uint32_t length);
// The built-in secure-messaging key: 0 with 24 bytes copied (-1 for a null buffer).
int32_t getKey(uint8_t* key24);
// Request kinds 0-5 (see crvk2plg.h): 0 when confirmed and copied, -1 when cancelled or refused.
int32_t request(int32_t kind, char* buffer1, uint32_t length1, char* buffer2, uint32_t length2);
// Notify events: what the event's message box answers, 0 for an event that shows nothing.
int32_t notify(int32_t event);

// strncpy's contract: at most `length` bytes, the text cut at its first zero byte, the rest of
// the buffer zero-filled; a text of `length` bytes or more is not terminated.
void boundedCopy(char* buffer, uint32_t length, std::span<const std::uint8_t> text);

}  // namespace crvk2plg
