// Flat exports of the settings table and the library entry point.
#include "cardolo/cardolo.h"
#include "exports/export_guard.h"
#include "settings/settings_table.h"

VANTOR_EXPORT BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    // No work at load or unload: the settings table fills itself on first use.
    return TRUE;
}

VANTOR_EXPORT int32_t WINAPI CARDOLO_ChangeSetting(const char* name, int32_t value) {
    if (name == nullptr) {
        return 0;  // always 0; a null name has nothing to change
    }
    return cardolo::guarded([&] {
        cardolo::SettingsTable::instance().change(name, value);
        return 0;
    });
}
