// The manager's message lookup: numbered texts in the thread's language, with the fall-backs.
#pragma once

#include <string>

#include "win/winnls.h"

namespace tesmira {

// The optional library with texts the program itself lacks (on Linux: tesmira.exe.lang.so,
// beside the program).
inline constexpr const char* kLanguageLibrary = "tesmira.exe.lang.dll";

// The language whose table serves a thread locale: the sublanguages without a table of their
// own go to the table that carries their texts (3082 -> 1034, 3076 and 5124 -> 1028,
// 4100 -> 2052); every other value is used as it is.
DWORD MessageLanguageFor(LCID threadLocale);

// Text of message id in the calling thread's locale. For ids of 1000 and above: the program's
// table in the mapped language, then language 0 (the platform's search ending in English), then
// the same two from the language library; an id found nowhere is empty. Ids below 1000 are the
// program's string resources. Never fails; a missing text is simply empty.
std::string LoadMessage(long id);

}  // namespace tesmira
