// SQLite storage of a registry hive, safe for several threads and processes at once.
#include "hive_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>

#include "win/winerror.h"
#include "win/winreg.h"

namespace vantor::registry {

namespace {

namespace fs = std::filesystem;

// Writers wait at most this long for another process's transaction before giving up.
constexpr int kBusyTimeoutMs = 15000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys(path TEXT PRIMARY KEY COLLATE NOCASE,"
    " parent TEXT COLLATE NOCASE, name TEXT NOT NULL, written INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent);"
    "CREATE TABLE IF NOT EXISTS vals(path TEXT NOT NULL COLLATE NOCASE,"
    " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB,"
    " PRIMARY KEY(path, name));"
    "INSERT OR IGNORE INTO keys(path, parent, name, written) VALUES('', NULL, '', 0);";

// A prepared statement borrowed from the store's cache for one use: bound, stepped, then reset
// and unbound when it leaves scope so the next user finds it clean. Preparing is most of the cost
// of a short query, so each SQL text is prepared once per connection.
class Statement final {
  public:
    Statement(HiveStore& store, const char* sql) : st_(store.prepared(sql)) {}
    ~Statement() {
        if (st_ != nullptr) {
            sqlite3_reset(st_);
            sqlite3_clear_bindings(st_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return st_ != nullptr; }
    void text(int i, const std::string& s) {
        sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, std::int64_t v) { sqlite3_bind_int64(st_, i, v); }
    void blob(int i, const void* p, int n) {
        sqlite3_bind_blob(st_, i, n > 0 ? p : "", n, SQLITE_TRANSIENT);
    }
    int step() { return st_ != nullptr ? sqlite3_step(st_) : SQLITE_ERROR; }
    std::string columnText(int i) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, i));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st_, i)))
                 : std::string();
    }
    std::int64_t columnInt(int i) { return sqlite3_column_int64(st_, i); }
    std::vector<BYTE> columnBlob(int i) {
        const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(st_, i));
        int n = sqlite3_column_bytes(st_, i);
        return p ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
    }

  private:
    sqlite3_stmt* st_;
};

LONG mapSqlite(int rc, bool writing) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return ERROR_SUCCESS;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_BADDB;
        default:
            return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
}

// Ends a write transaction on every path: commits on request, rolls back otherwise.
class WriteTransaction final {
  public:
    explicit WriteTransaction(sqlite3* db) : db_(db) {
        rc_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    }
    ~WriteTransaction() {
        if (rc_ == SQLITE_OK && !done_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    LONG began() const { return mapSqlite(rc_, true); }
    LONG commit() {
        int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        done_ = rc == SQLITE_OK;
        return mapSqlite(rc, true);
    }

  private:
    sqlite3* db_;
    int rc_;
    bool done_ = false;
};

std::string userBase() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        return (fs::path(xdg) / "vantor" / "registry").string();
    }
    const char* home = std::getenv("HOME");
    return (fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "vantor" / "registry")
        .string();
}

// This process's id, remembered: getpid is a system call, and every registry call asks whether
// the connection is its own. A child of fork learns its new id from the handler.
std::atomic<long> g_pid{0};

long currentProcess() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        g_pid = static_cast<long>(getpid());
        pthread_atfork(nullptr, nullptr, [] { g_pid = static_cast<long>(getpid()); });
    });
    return g_pid.load(std::memory_order_relaxed);
}

bool writableDirectory(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec) && access(dir.c_str(), W_OK) == 0;
}

}  // namespace

namespace {

std::string locateHive(Hive hive) {
    const char* name = hive == Hive::Machine ? "machine.db" : "user.db";
    if (const char* dir = std::getenv(VANTOR_REGISTRY_DIR_ENV); dir && *dir) {
        return (fs::path(dir) / name).string();
    }
    if (hive == Hive::Machine) {
        // The machine hive belongs under /var/lib. Once an installation has made it there, every
        // user reads it (and may not write it, as HKEY_LOCAL_MACHINE is the administrator's);
        // only on a machine without one does a user who may not write there keep a private
        // machine hive beside the user hive, so that registration works without root.
        const fs::path system = "/var/lib/vantor/registry";
        if (writableDirectory(system)) {
            return (system / name).string();
        }
        std::error_code ec;
        if (fs::is_regular_file(system / name, ec) && access((system / name).c_str(), R_OK) == 0) {
            return (system / name).string();
        }
    }
    return (fs::path(userBase()) / name).string();
}

// The environment variables a hive's location follows, and their values when last looked at
// (an unset variable counts as empty). Comparing them with the environment allocates nothing,
// so that a registry call which finds them unchanged costs three getenv calls.
struct LocationInputs {
    static constexpr const char* kVariables[] = {VANTOR_REGISTRY_DIR_ENV, "XDG_DATA_HOME", "HOME"};
    std::string values[std::size(kVariables)];

    static LocationInputs current() {
        LocationInputs inputs;
        for (std::size_t i = 0; i < std::size(kVariables); ++i) {
            const char* value = std::getenv(kVariables[i]);
            inputs.values[i] = value != nullptr ? value : "";
        }
        return inputs;
    }
    bool matchCurrent() const {
        for (std::size_t i = 0; i < std::size(kVariables); ++i) {
            const char* value = std::getenv(kVariables[i]);
            if (values[i] != (value != nullptr ? value : "")) {
                return false;
            }
        }
        return true;
    }
};

}  // namespace

std::string hiveFile(Hive hive) {
    // Every registry call asks; the answer depends only on the environment (and, for the
    // machine hive, on whether /var/lib/vantor/registry is writable, which is probed with
    // directory calls). So it is remembered for the environment it was found under.
    struct Found {
        LocationInputs inputs;
        std::string file;
    };
    static std::mutex mutex;
    static Found found[2];
    Found& slot = found[hive == Hive::Machine ? 0 : 1];
    std::lock_guard lock(mutex);
    if (slot.file.empty() || !slot.inputs.matchCurrent()) {
        slot.inputs = LocationInputs::current();
        slot.file = locateHive(hive);
    }
    return slot.file;
}

HiveStore::~HiveStore() {
    // A connection inherited through fork belongs to the parent's locks; leave it alone.
    if (db_ != nullptr && pid_ == currentProcess()) {
        dropStatements();
        sqlite3_close_v2(db_);
    }
    if (sharedCommits_ != nullptr) {
        ::munmap(sharedCommits_, sizeof(std::uint64_t));
    }
}

void HiveStore::dropStatements() {
    // Statements of a connection inherited through fork are forgotten, not finalized: they
    // belong to the parent's connection.
    if (db_ != nullptr && pid_ == currentProcess()) {
        for (auto& [sql, st] : statements_) {
            sqlite3_finalize(st);
        }
    }
    statements_.clear();
}

sqlite3_stmt* HiveStore::prepared(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) {
        return it->second;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return nullptr;
    }
    statements_.emplace(sql, st);
    return st;
}

LONG HiveStore::counted(LONG commitResult) {
    if (commitResult == ERROR_SUCCESS) {
        ++ownCommits_;
        // After the commit, never before: a reader that sees the new count must find the new
        // content. (A reader that reads the new content under the old count only reads it
        // once more when the count moves.)
        if (sharedCommits_ != nullptr && sharedWritable_) {
            std::atomic_ref<std::uint64_t>(*sharedCommits_).fetch_add(1);
        }
    }
    return commitResult;
}

// The change file beside the database ("<hive>.db-changes"): one 64-bit count of the commits of
// every process, mapped shared like SQLite's own -shm file, so that asking whether the hive
// changed costs a memory read instead of a read transaction (two locks and a stat). A process
// that cannot map it falls back to SQLite's data version.
void HiveStore::openChangeCount() {
    if (sharedCommits_ != nullptr) {
        return;  // mapped before a fork: the mapping is shared with the parent, as it should be
    }
    const std::string path = file_ + "-changes";
    bool writable = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        writable = false;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size < static_cast<off_t>(sizeof(std::uint64_t)) &&
        writable) {
        // A new file: the count starts at zero. Growing a file that another process grew
        // already changes nothing.
        if (::ftruncate(fd, sizeof(std::uint64_t)) != 0 || ::fstat(fd, &st) != 0) {
            st.st_size = 0;
        }
    }
    if (st.st_size >= static_cast<off_t>(sizeof(std::uint64_t))) {
        void* map = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | (writable ? PROT_WRITE : 0),
                           MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            sharedCommits_ = static_cast<std::uint64_t*>(map);
            sharedWritable_ = writable;
        }
    }
    ::close(fd);
}

LONG HiveStore::ensureOpen() {
    std::lock_guard lock(mutex_);
    return open();
}

LONG HiveStore::changeMarker(ChangeMarker& marker) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    marker = ChangeMarker{};
    if (sharedCommits_ != nullptr) {
        marker.sharedCommits = std::atomic_ref<std::uint64_t>(*sharedCommits_).load();
        return ERROR_SUCCESS;
    }
    Statement st(*this, "PRAGMA data_version");
    if (st.step() != SQLITE_ROW) {
        return ERROR_CANTREAD;
    }
    marker.dataVersion = st.columnInt(0);
    marker.ownCommits = ownCommits_;
    marker.connection = connection_;
    return ERROR_SUCCESS;
}

LONG HiveStore::open() {
    if (db_ != nullptr && pid_ == currentProcess()) {
        return ERROR_SUCCESS;
    }
    dropStatements();
    db_ = nullptr;
    std::error_code ec;
    fs::path dir = fs::path(file_).parent_path();
    if (!dir.empty()) {
        fs::create_directories(dir, ec);
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file_.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return ERROR_CANTOPEN;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // A reader who may not write the hive's folder can open a WAL database only while its -wal
    // and -shm files exist, so a writer leaves them in place when it closes.
    if (sqlite3_db_readonly(db, "main") == 0) {
        int persist = 1;
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    // WAL lets readers run beside one writer; NORMAL sync is durable across process crashes.
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    db_ = db;
    pid_ = currentProcess();
    ++connection_;
    openChangeCount();
    {
        WriteTransaction tx(db_);
        LONG err = tx.began();
        if (err == ERROR_SUCCESS) {
            err = mapSqlite(sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr), true);
        }
        if (err == ERROR_SUCCESS) {
            err = tx.commit();
        }
        if (err != ERROR_SUCCESS && err != ERROR_ACCESS_DENIED) {
            // Keep nothing half-open: the next call tries again.
            dropStatements();
            sqlite3_close_v2(db_);
            db_ = nullptr;
            return err == ERROR_CANTWRITE ? ERROR_CANTOPEN : err;
        }
    }
    return ERROR_SUCCESS;
}

LONG HiveStore::exec(const char* sql) {
    return mapSqlite(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), true);
}

LONG HiveStore::keyExists(const std::string& path, bool& exists) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    Statement st(*this, "SELECT 1 FROM keys WHERE path = ?1");
    if (!st.ok()) {
        return ERROR_CANTREAD;
    }
    st.text(1, path);
    int rc = st.step();
    exists = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : mapSqlite(rc, false);
}

LONG HiveStore::touch(const std::string& path) {
    Statement st(*this, "UPDATE keys SET written = ?2 WHERE path = ?1");
    st.text(1, path);
    st.integer(2, static_cast<std::int64_t>(std::time(nullptr)));
    return mapSqlite(st.step(), true);
}

LONG HiveStore::createKey(const std::string& path, bool& created) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    WriteTransaction tx(db_);
    if (LONG err = tx.began(); err != ERROR_SUCCESS) {
        return err;
    }
    created = false;
    std::string prefix;
    size_t start = 0;
    while (start <= path.size() && !path.empty()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string component = path.substr(start, end - start);
        std::string full = prefix.empty() ? component : prefix + "\\" + component;
        Statement st(*this,
                     "INSERT INTO keys(path, parent, name, written) VALUES(?1, ?2, ?3, ?4)"
                     " ON CONFLICT(path) DO NOTHING");
        st.text(1, full);
        st.text(2, prefix);
        st.text(3, component);
        st.integer(4, static_cast<std::int64_t>(std::time(nullptr)));
        if (int rc = st.step(); rc != SQLITE_DONE) {
            return mapSqlite(rc, true);
        }
        created = sqlite3_changes(db_) > 0;
        prefix = full;
        start = end + 1;
    }
    return counted(tx.commit());
}

LONG HiveStore::deleteKey(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    WriteTransaction tx(db_);
    if (LONG err = tx.began(); err != ERROR_SUCCESS) {
        return err;
    }
    {
        Statement st(*this, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        st.text(1, path);
        if (st.step() == SQLITE_ROW) {
            return ERROR_ACCESS_DENIED;  // as on Windows: a key with subkeys stays
        }
    }
    Statement del(*this, "DELETE FROM keys WHERE path = ?1");
    del.text(1, path);
    if (int rc = del.step(); rc != SQLITE_DONE) {
        return mapSqlite(rc, true);
    }
    if (sqlite3_changes(db_) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    Statement vals(*this, "DELETE FROM vals WHERE path = ?1");
    vals.text(1, path);
    if (int rc = vals.step(); rc != SQLITE_DONE) {
        return mapSqlite(rc, true);
    }
    return counted(tx.commit());
}

LONG HiveStore::deleteTree(const std::string& path, bool keepRoot) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    WriteTransaction tx(db_);
    if (LONG err = tx.began(); err != ERROR_SUCCESS) {
        return err;
    }
    // Descendants are the paths that start with "path\" (case-insensitively, like every name).
    const char* keysSql =
        keepRoot
            ? "DELETE FROM keys WHERE substr(path, 1, length(?1) + 1) = ?1 || '\\' COLLATE NOCASE"
            : "DELETE FROM keys WHERE path = ?1 OR"
              " substr(path, 1, length(?1) + 1) = ?1 || '\\' COLLATE NOCASE";
    // The values of the key itself go in both cases: emptying a key removes its values too.
    const char* valsSql =
        "DELETE FROM vals WHERE path = ?1 OR"
        " substr(path, 1, length(?1) + 1) = ?1 || '\\' COLLATE NOCASE";
    if (path.empty()) {
        // The hive root: everything but the root row itself.
        keysSql = "DELETE FROM keys WHERE path <> ''";
        valsSql = "DELETE FROM vals";
    }
    Statement keys(*this, keysSql);
    keys.text(1, path);
    if (int rc = keys.step(); rc != SQLITE_DONE) {
        return mapSqlite(rc, true);
    }
    Statement vals(*this, valsSql);
    vals.text(1, path);
    if (int rc = vals.step(); rc != SQLITE_DONE) {
        return mapSqlite(rc, true);
    }
    return counted(tx.commit());
}

LONG HiveStore::subKeyName(const std::string& path, DWORD index, std::string& name,
                           std::int64_t& written) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    Statement st(*this,
                 "SELECT name, written FROM keys WHERE parent = ?1 AND path <> ''"
                 " ORDER BY name COLLATE NOCASE LIMIT 1 OFFSET ?2");
    st.text(1, path);
    st.integer(2, index);
    int rc = st.step();
    if (rc == SQLITE_DONE) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (rc != SQLITE_ROW) {
        return mapSqlite(rc, false);
    }
    name = st.columnText(0);
    written = st.columnInt(1);
    return ERROR_SUCCESS;
}

LONG HiveStore::keyInfo(const std::string& path, KeyInfo& info) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    info = {};
    {
        Statement st(*this,
                     "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys"
                     " WHERE parent = ?1 AND path <> ''");
        st.text(1, path);
        if (st.step() != SQLITE_ROW) {
            return ERROR_CANTREAD;
        }
        info.subKeys = static_cast<DWORD>(st.columnInt(0));
        info.maxSubKeyLen = static_cast<DWORD>(st.columnInt(1));
    }
    {
        Statement st(*this,
                     "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0),"
                     " coalesce(max(length(data)), 0) FROM vals WHERE path = ?1");
        st.text(1, path);
        if (st.step() != SQLITE_ROW) {
            return ERROR_CANTREAD;
        }
        info.values = static_cast<DWORD>(st.columnInt(0));
        info.maxValueNameLen = static_cast<DWORD>(st.columnInt(1));
        info.maxValueLen = static_cast<DWORD>(st.columnInt(2));
    }
    Statement st(*this, "SELECT written FROM keys WHERE path = ?1");
    st.text(1, path);
    if (st.step() == SQLITE_ROW) {
        info.written = st.columnInt(0);
    }
    return ERROR_SUCCESS;
}

LONG HiveStore::setValue(const std::string& path, const std::string& name, DWORD type,
                         const BYTE* data, DWORD size) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    WriteTransaction tx(db_);
    if (LONG err = tx.began(); err != ERROR_SUCCESS) {
        return err;
    }
    {
        Statement st(*this, "SELECT 1 FROM keys WHERE path = ?1");
        st.text(1, path);
        if (st.step() != SQLITE_ROW) {
            return ERROR_KEY_DELETED;
        }
    }
    // The upsert keeps the row (and so the enumeration position) of a value that is rewritten.
    Statement st(*this,
                 "INSERT INTO vals(path, name, type, data) VALUES(?1, ?2, ?3, ?4)"
                 " ON CONFLICT(path, name) DO UPDATE SET type = excluded.type,"
                 " data = excluded.data");
    st.text(1, path);
    st.text(2, name);
    st.integer(3, type);
    st.blob(4, data, static_cast<int>(size));
    if (int rc = st.step(); rc != SQLITE_DONE) {
        return mapSqlite(rc, true);
    }
    if (LONG err = touch(path); err != ERROR_SUCCESS) {
        return err;
    }
    return counted(tx.commit());
}

LONG HiveStore::getValue(const std::string& path, const std::string& name, StoredValue& value) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    Statement st(*this, "SELECT name, type, data FROM vals WHERE path = ?1 AND name = ?2");
    st.text(1, path);
    st.text(2, name);
    int rc = st.step();
    if (rc == SQLITE_DONE) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return mapSqlite(rc, false);
    }
    value.name = st.columnText(0);
    value.type = static_cast<DWORD>(st.columnInt(1));
    value.data = st.columnBlob(2);
    return ERROR_SUCCESS;
}

LONG HiveStore::valueAt(const std::string& path, DWORD index, StoredValue& value) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    Statement st(*this,
                 "SELECT name, type, data FROM vals WHERE path = ?1 ORDER BY rowid"
                 " LIMIT 1 OFFSET ?2");
    st.text(1, path);
    st.integer(2, index);
    int rc = st.step();
    if (rc == SQLITE_DONE) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (rc != SQLITE_ROW) {
        return mapSqlite(rc, false);
    }
    value.name = st.columnText(0);
    value.type = static_cast<DWORD>(st.columnInt(1));
    value.data = st.columnBlob(2);
    return ERROR_SUCCESS;
}

LONG HiveStore::deleteValue(const std::string& path, const std::string& name) {
    std::lock_guard lock(mutex_);
    if (LONG err = open(); err != ERROR_SUCCESS) {
        return err;
    }
    WriteTransaction tx(db_);
    if (LONG err = tx.began(); err != ERROR_SUCCESS) {
        return err;
    }
    Statement st(*this, "DELETE FROM vals WHERE path = ?1 AND name = ?2");
    st.text(1, path);
    st.text(2, name);
    if (int rc = st.step(); rc != SQLITE_DONE) {
        return mapSqlite(rc, true);
    }
    if (sqlite3_changes(db_) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (LONG err = touch(path); err != ERROR_SUCCESS) {
        return err;
    }
    return counted(tx.commit());
}

HiveStore* storeFor(Hive hive, LONG& error) {
    // One store per database file for the life of the process, so that a test which moves
    // VANTOR_REGISTRY_DIR gets fresh hives while handles opened earlier keep theirs. The store
    // chosen for each hive is remembered with the environment it was chosen under: most calls
    // (a change-stamp check before every signature among them) then neither build the file's
    // path nor look it up.
    struct Chosen {
        LocationInputs inputs;
        HiveStore* store = nullptr;
    };
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<HiveStore>> stores;
    static Chosen chosen[2];
    std::lock_guard lock(mutex);
    Chosen& last = chosen[hive == Hive::Machine ? 0 : 1];
    if (last.store == nullptr || !last.inputs.matchCurrent()) {
        // The inputs before the path: should the environment change in between, the next call
        // finds them stale and chooses again.
        last.inputs = LocationInputs::current();
        std::string file = hiveFile(hive);
        auto& slot = stores[file];
        if (!slot) {
            slot = std::make_unique<HiveStore>(file);
        }
        last.store = slot.get();
    }
    error = last.store->ensureOpen();
    return error == ERROR_SUCCESS ? last.store : nullptr;
}

}  // namespace vantor::registry
