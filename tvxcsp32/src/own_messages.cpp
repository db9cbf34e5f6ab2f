// Hands the provider's compiled message table to this module's copy of the message lookup.
#include "message_table.h"

// Generated from messages/tvxcsp32.mc. It is not exported (the provider exports its entry points
// only), so the module registers it with its own lookup when it is loaded.
extern "C" const VANTOR_MESSAGE_TABLE* VantorGetMessageTable();

namespace {

__attribute__((constructor)) void registerProviderMessages() {
    VantorRegisterOwnMessageTable(&VantorGetMessageTable);
}

}  // namespace
