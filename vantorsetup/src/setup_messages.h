// The setup program's message table, looked up in the system default language.
#pragma once

#include <string>

#include "win/windef.h"
#include "win/winnls.h"

namespace vantorsetup {

enum : DWORD {
    MSG_IMPORT_OPTION = 0x1,
    MSG_CONTINUE = 0x2,
    MSG_LOAD_ERROR = 0x3,
    MSG_SMART_LOGON_OPTION = 0x4,
    MSG_SELECT_CERTIFICATE = 0x5,
    MSG_SETUP_FAILED = 0x6,
    MSG_NO_CERTIFICATE = 0x7,
    MSG_SETUP_DONE = 0x8,
    MSG_CANCEL = 0x9,
    MSG_SHOW = 0xA,
    MSG_EXIT = 0xB,
};

// The caption of every message box of the program.
inline constexpr char kBoxCaption[] = "Vantor";

// A message's text in the system default language, English when it has none there; empty when
// the message does not exist.
std::string setupMessage(DWORD id);
// Message 0x6 with the error code written as eight upper-case hexadecimal digits.
std::string setupFailedMessage(DWORD error);

}  // namespace vantorsetup
