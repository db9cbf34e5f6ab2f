// One registry hive kept in an SQLite database: keys by full path, values by key and name.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "win/windef.h"

namespace vantor::registry {

enum class Hive { Machine, User };

struct StoredValue {
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct KeyInfo {
    DWORD subKeys = 0;
    DWORD maxSubKeyLen = 0;
    DWORD values = 0;
    DWORD maxValueNameLen = 0;
    DWORD maxValueLen = 0;
    std::int64_t written = 0;  // seconds since 1970
};

// A hive's database connection. Every call is one short transaction; writers use BEGIN
// IMMEDIATE so that concurrent processes queue on SQLite's lock (bounded by a busy timeout)
// instead of failing half-way. Results are Win32 error codes.
class HiveStore final {
  public:
    explicit HiveStore(std::string file) : file_(std::move(file)) {}
    ~HiveStore();
    HiveStore(const HiveStore&) = delete;
    HiveStore& operator=(const HiveStore&) = delete;

    const std::string& file() const { return file_; }

    LONG keyExists(const std::string& path, bool& exists);
    // Creates every missing component of path; created tells whether the last one was new.
    LONG createKey(const std::string& path, bool& created);
    LONG deleteKey(const std::string& path);  // leaf keys only
    LONG deleteTree(const std::string& path, bool keepRoot);
    LONG subKeyName(const std::string& path, DWORD index, std::string& name, std::int64_t& written);
    LONG keyInfo(const std::string& path, KeyInfo& info);

    LONG setValue(const std::string& path, const std::string& name, DWORD type, const BYTE* data,
                  DWORD size);
    LONG getValue(const std::string& path, const std::string& name, StoredValue& value);
    LONG valueAt(const std::string& path, DWORD index, StoredValue& value);
    LONG deleteValue(const std::string& path, const std::string& name);

    // Opens the database if this process has not yet (cheap once it has).
    LONG ensureOpen();

    // What changes whenever the hive is written, by this process or another. Normally the
    // count of commits kept in the hive's change file (see openChangeCount), read from shared
    // memory without a system call; where that file cannot be mapped, SQLite's data version
    // (moved by the commits of every other connection) with this connection's own commits.
    // Equal markers mean an unchanged hive.
    struct ChangeMarker {
        std::uint64_t sharedCommits = 0;
        std::int64_t dataVersion = 0;
        std::uint64_t ownCommits = 0;
        std::uint64_t connection = 0;
        bool operator==(const ChangeMarker&) const = default;
    };
    LONG changeMarker(ChangeMarker& marker);

    // The statement for sql (a string literal: the cache is keyed by its address), prepared once
    // per connection; null when it cannot be prepared. For the store's own statements only.
    sqlite3_stmt* prepared(const char* sql);

  private:
    LONG open();
    void openChangeCount();
    void dropStatements();
    LONG exec(const char* sql);
    LONG touch(const std::string& path);
    // Counts a successful commit of this connection (its data version does not move for it).
    LONG counted(LONG commitResult);

    std::string file_;
    sqlite3* db_ = nullptr;
    long pid_ = 0;  // a connection inherited through fork is never reused by the child
    std::uint64_t connection_ = 0;  // counts the connections opened, for ChangeMarker
    std::uint64_t ownCommits_ = 0;
    std::uint64_t* sharedCommits_ = nullptr;  // mapped from the change file, shared by processes
    bool sharedWritable_ = false;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
    std::recursive_mutex mutex_;
};

// The store of a hive for the current process, following VANTOR_REGISTRY_DIR when it changes.
// Null with the reason in error when no location can be opened.
HiveStore* storeFor(Hive hive, LONG& error);

// Location of a hive's database file as the environment currently says.
std::string hiveFile(Hive hive);

}  // namespace vantor::registry
