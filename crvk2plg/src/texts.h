// The plug-in's texts: message lookup in the system language with its fall-back to English.
#pragma once

#include <string>

#include "win/windef.h"

namespace crvk2plg {

// The language texts are looked up in: the system default language, with Italian (Switzerland)
// read as Italian and Spanish (modern sort) as Spanish (traditional sort).
WORD textLanguage();
WORD mapTextLanguage(WORD systemLanguage);

// Message `id` of the library's table in textLanguage(), else in English (United States); ""
// when neither has it.
std::string loadText(DWORD id);

// True when texts come out in Italian (the dialogs' button captions follow it).
bool textsAreItalian();

}  // namespace crvk2plg
