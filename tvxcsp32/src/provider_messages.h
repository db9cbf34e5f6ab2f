// The provider's message table, looked up in the system default language.
#pragma once

#include "win/windef.h"
#include "win/winnls.h"

#include <string>

namespace tvx {

enum : DWORD {
    MSG_IMPORT_ONE = 0x00000001,
    MSG_IMPORT_MANY = 0x00000002,
    MSG_NO_CERTIFICATE = 0x00000003,
    MSG_CAPTION = 0x40000006,
    MSG_WAIT = 0x40000007,
    MSG_ALREADY_LOGGED_IN = 0x40000008,
    MSG_IMPORT_ERROR = 0xC0000004,
    MSG_WRONG_PIN = 0xC0000009,
    MSG_ERROR_CAPTION = 0xC000000A,
    MSG_INSERT_CARD = 0xC000000B,
    MSG_PIN_LOCKED = 0xC000000C,
    MSG_INSERT_VALID_CARD = 0xC000000D,
};

// The text of a message in the system default language, English when it has none there; empty
// when the message does not exist.
std::string providerMessage(DWORD id);

}  // namespace tvx
