// The language a six-language message table is read in, for the card provider and the setup
// program alike.
#pragma once

#include "win/windef.h"

namespace vantor {

// The tables carry English, Italian, Spanish, Greek and both Chinese scripts; the sublanguages
// they lack are folded onto the one they carry, anything else is looked up as it is (and falls
// back to English there).
inline LANGID messageTableLanguage(LANGID system) {
    switch (system) {
        case 0x0810:  // Italian (Switzerland)
            return 0x0410;
        case 0x0C04:  // Chinese (Hong Kong)
        case 0x1404:  // Chinese (Macao)
            return 0x0404;
        case 0x0C0A:  // Spanish, modern sort
            return 0x040A;
        case 0x1004:  // Chinese (Singapore)
            return 0x0804;
        default:
            return system;
    }
}

}  // namespace vantor
