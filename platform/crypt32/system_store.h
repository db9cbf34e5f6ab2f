// System stores ("MY", "ROOT", "CA", "AddressBook", any other name) kept in SQLite beside the
// registry hives, one database for the current user and one for the machine.
#pragma once

#include <memory>
#include <string>

#include "cert_store.h"

namespace vantor::crypt32 {

enum class StoreLocation { CurrentUser, LocalMachine };

// The database file of a location, beside that location's registry hive (so the registry's
// VANTOR_REGISTRY_DIR moves both).
std::string storeDatabaseFile(StoreLocation location);

// Opens (creating unless openExisting) the named store. Throws StoreError: ERROR_FILE_NOT_FOUND
// for a missing store with openExisting, ERROR_CANTOPEN when the database cannot be opened.
std::unique_ptr<StoreBackend> openSystemStore(StoreLocation location, const std::string& name,
                                              bool openExisting);
// Removes the named store and its certificates (CERT_STORE_DELETE_FLAG).
void deleteSystemStore(StoreLocation location, const std::string& name);

}  // namespace vantor::crypt32
