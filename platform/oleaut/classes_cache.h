// What COM activation reads from HKEY_CLASSES_ROOT, remembered until the registry changes.
#pragma once

#include <string>

namespace vantor::ole {

// The default (name null) or named string value of HKEY_CLASSES_ROOT\path, false when the key
// or value is missing or not a string. Answers, found or not, are kept while the machine hive's
// change stamp stays the same, so a class registered or unregistered by any process is seen by
// the next call, and an unchanged registry is not read again.
bool readClassesString(const std::string& path, const char* name, std::string& out);

// Forgets every kept answer (for callers that know the registry moved under them).
void forgetClassesStrings();

}  // namespace vantor::ole
