// Key containers in SQLite: owner-only files created before SQLite opens them, every write one
// immediate transaction so that concurrent processes queue instead of losing updates.
#include "container_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "../registry/hive_store.h"
#include "capi_error.h"
#include "win/wincrypt.h"

namespace fs = std::filesystem;

namespace vantor::capi {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSetupAttempts = 100;
constexpr useconds_t kSetupRetryMicros = 20000;

struct StmtFree {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFree>;

Stmt prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
        fail(NTE_FAIL);
    }
    return Stmt(s);
}

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(NTE_FAIL);
    }
}

// BEGIN IMMEDIATE takes the write lock up front (waiting up to the busy timeout), so a
// check-then-insert cannot interleave with another process's.
class Transaction final {
  public:
    explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        exec(db_, "COMMIT");
        done_ = true;
    }

  private:
    sqlite3* db_;
    bool done_ = false;
};

bool containerExists(sqlite3* db, const std::string& name) {
    Stmt s = prepare(db, "SELECT 1 FROM containers WHERE name = ?1");
    sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    return sqlite3_step(s.get()) == SQLITE_ROW;
}

}  // namespace

std::string ContainerStore::fileFor(bool machine) {
    const std::string hive =
        registry::hiveFile(machine ? registry::Hive::Machine : registry::Hive::User);
    return (fs::path(hive).parent_path() / (machine ? "machine_keys.db" : "user_keys.db")).string();
}

ContainerStore& ContainerStore::forScope(bool machine) {
    // One store per file name: a changed VANTOR_REGISTRY_DIR gets a fresh one, earlier stores
    // stay valid for whoever still holds them.
    static std::mutex mutex;
    static auto* stores = new std::map<std::string, std::unique_ptr<ContainerStore>>();
    const std::string file = fileFor(machine);
    std::lock_guard lock(mutex);
    auto& slot = (*stores)[file];
    if (!slot) {
        slot = std::make_unique<ContainerStore>(file);
    }
    return *slot;
}

ContainerStore::~ContainerStore() {
    if (db_ != nullptr && pid_ == static_cast<long>(getpid())) {
        sqlite3_close_v2(db_);
    }
}

sqlite3* ContainerStore::db() {
    if (db_ != nullptr && pid_ == static_cast<long>(getpid())) {
        return db_;
    }
    db_ = nullptr;  // a connection inherited through fork belongs to the parent
    std::error_code ec;
    const fs::path dir = fs::path(file_).parent_path();
    if (!dir.empty()) {
        fs::create_directories(dir, ec);
    }
    // Create the file owner-only before SQLite sees it; SQLite gives its journal and WAL files
    // the permissions of the database file.
    const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail(NTE_FAIL);
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        fail(NTE_FAIL);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // secure_delete overwrites freed pages, so a deleted key leaves no copy in the file;
    // temp_store keeps SQLite's scratch data out of temporary files.
    const char* setup =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA secure_delete=ON;"
        "PRAGMA temp_store=MEMORY;"
        "CREATE TABLE IF NOT EXISTS containers (name TEXT PRIMARY KEY NOT NULL);"
        "CREATE TABLE IF NOT EXISTS keys (container TEXT NOT NULL, keyspec INTEGER NOT NULL,"
        " flags INTEGER NOT NULL, blob BLOB NOT NULL, PRIMARY KEY (container, keyspec));";
    // Processes opening a new store together can meet a lock that SQLite reports without
    // waiting (switching to WAL, creating the tables); retry a bounded number of times.
    int rc = SQLITE_BUSY;
    for (int attempt = 0; attempt < kSetupAttempts; ++attempt) {
        rc = sqlite3_exec(db, setup, nullptr, nullptr, nullptr);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
            break;
        }
        usleep(kSetupRetryMicros);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        fail(NTE_FAIL);
    }
    db_ = db;
    pid_ = static_cast<long>(getpid());
    return db_;
}

void ContainerStore::create(const std::string& name) {
    std::lock_guard lock(mutex_);
    sqlite3* d = db();
    Transaction tx(d);
    if (containerExists(d, name)) {
        fail(NTE_EXISTS);
    }
    Stmt s = prepare(d, "INSERT INTO containers (name) VALUES (?1)");
    sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s.get()) != SQLITE_DONE) {
        fail(NTE_FAIL);
    }
    tx.commit();
}

void ContainerStore::remove(const std::string& name) {
    std::lock_guard lock(mutex_);
    sqlite3* d = db();
    Transaction tx(d);
    if (!containerExists(d, name)) {
        fail(NTE_BAD_KEYSET);
    }
    for (const char* sql :
         {"DELETE FROM keys WHERE container = ?1", "DELETE FROM containers WHERE name = ?1"}) {
        Stmt s = prepare(d, sql);
        sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(s.get()) != SQLITE_DONE) {
            fail(NTE_FAIL);
        }
    }
    tx.commit();
}

bool ContainerStore::exists(const std::string& name) {
    std::lock_guard lock(mutex_);
    return containerExists(db(), name);
}

std::vector<std::string> ContainerStore::list() {
    std::lock_guard lock(mutex_);
    Stmt s = prepare(db(), "SELECT name FROM containers ORDER BY name");
    std::vector<std::string> names;
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
        names.emplace_back(text != nullptr ? text : "");
    }
    return names;
}

void ContainerStore::putKey(const std::string& name, DWORD keySpec, const StoredKey& key) {
    std::lock_guard lock(mutex_);
    sqlite3* d = db();
    Transaction tx(d);
    if (!containerExists(d, name)) {
        fail(NTE_BAD_KEYSET);
    }
    Stmt s = prepare(d,
                     "INSERT OR REPLACE INTO keys (container, keyspec, flags, blob)"
                     " VALUES (?1, ?2, ?3, ?4)");
    sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.get(), 2, keySpec);
    sqlite3_bind_int64(s.get(), 3, key.flags);
    // SQLITE_STATIC: the blob outlives the statement, and SQLite makes no copy of its own.
    sqlite3_bind_blob(s.get(), 4, key.blob.data(), static_cast<int>(key.blob.size()),
                      SQLITE_STATIC);
    if (sqlite3_step(s.get()) != SQLITE_DONE) {
        fail(NTE_FAIL);
    }
    s.reset();
    tx.commit();
}

std::optional<StoredKey> ContainerStore::getKey(const std::string& name, DWORD keySpec) {
    std::lock_guard lock(mutex_);
    Stmt s = prepare(db(), "SELECT flags, blob FROM keys WHERE container = ?1 AND keyspec = ?2");
    sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.get(), 2, keySpec);
    if (sqlite3_step(s.get()) != SQLITE_ROW) {
        return std::nullopt;
    }
    StoredKey key;
    key.flags = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(s.get(), 1));
    key.blob = SecureBytes(bytes, static_cast<std::size_t>(sqlite3_column_bytes(s.get(), 1)));
    return key;
}

}  // namespace vantor::capi
