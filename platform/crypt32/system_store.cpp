// SQLite back end of the system stores: several processes may add and change certificates at
// once; each change is one immediate transaction, waited for within a bounded busy timeout.
#include "system_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "hive_store.h"
#include "win/winerror.h"

namespace vantor::crypt32 {

namespace {

namespace fs = std::filesystem;

constexpr int kBusyTimeoutMs = 15000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS stores(name TEXT PRIMARY KEY COLLATE NOCASE);"
    "CREATE TABLE IF NOT EXISTS certs(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " store TEXT NOT NULL COLLATE NOCASE, identity BLOB NOT NULL, not_before INTEGER NOT NULL,"
    " der BLOB NOT NULL, props BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS certs_by_identity ON certs(store, identity);";

[[noreturn]] void fail(int rc) {
    switch (rc & 0xff) {
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            throw StoreError{static_cast<DWORD>(E_ACCESSDENIED)};
        case SQLITE_NOMEM:
            throw StoreError{static_cast<DWORD>(E_OUTOFMEMORY)};
        case SQLITE_CANTOPEN:
            throw StoreError{ERROR_CANTOPEN};
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            throw StoreError{ERROR_BADDB};
        default:
            throw StoreError{ERROR_CANTWRITE};
    }
}

class Connection final {
  public:
    explicit Connection(const std::string& file) {
        std::error_code ec;
        fs::path dir = fs::path(file).parent_path();
        if (!dir.empty()) {
            fs::create_directories(dir, ec);
        }
        int rc = sqlite3_open_v2(file.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw StoreError{ERROR_CANTOPEN};
        }
        // Certificates and their key bindings are the user's own: owner-only file.
        chmod(file.c_str(), S_IRUSR | S_IWUSR);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        // WAL lets readers run beside a writer; NORMAL sync survives process crashes.
        sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
    ~Connection() { sqlite3_close_v2(db_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    sqlite3* db() const { return db_; }
    void exec(const char* sql) {
        int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            fail(rc);
        }
    }

  private:
    sqlite3* db_ = nullptr;
};

class Statement final {
  public:
    Statement(sqlite3* db, const char* sql) {
        int rc = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr);
        if (rc != SQLITE_OK) {
            fail(rc);
        }
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    void text(int i, const std::string& s) {
        sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, std::int64_t v) { sqlite3_bind_int64(st_, i, v); }
    void blob(int i, const Bytes& b) {
        sqlite3_bind_blob(st_, i, b.empty() ? "" : static_cast<const void*>(b.data()),
                          static_cast<int>(b.size()), SQLITE_TRANSIENT);
    }
    // True while a row is available.
    bool step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            fail(rc);
        }
        return false;
    }
    std::int64_t columnInt(int i) { return sqlite3_column_int64(st_, i); }
    Bytes columnBlob(int i) {
        const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(st_, i));
        int n = sqlite3_column_bytes(st_, i);
        return p ? Bytes(p, p + n) : Bytes();
    }

  private:
    sqlite3_stmt* st_ = nullptr;
};

// Rolls back unless committed, so a failure part-way leaves the database as it was.
class Transaction final {
  public:
    explicit Transaction(Connection& c) : c_(c) { c_.exec("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) {
            sqlite3_exec(c_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        c_.exec("COMMIT");
        done_ = true;
    }

  private:
    Connection& c_;
    bool done_ = false;
};

PropertyMap decodeProps(const Bytes& raw) {
    auto props = parseProperties(raw.data(), raw.size());
    // A damaged property record must not make the certificate itself unreachable: it reads as
    // having no properties, and the record is left alone on disk.
    return props ? *props : PropertyMap();
}

class SqliteBackend final : public StoreBackend {
  public:
    SqliteBackend(const std::string& file, std::string name)
        : conn_(file), name_(std::move(name)) {}

    void init(bool openExisting) {
        Transaction tx(conn_);
        conn_.exec(kSchema);
        Statement q(conn_.db(), "SELECT 1 FROM stores WHERE name = ?1");
        q.text(1, name_);
        if (!q.step()) {
            if (openExisting) {
                throw StoreError{ERROR_FILE_NOT_FOUND};
            }
            Statement ins(conn_.db(), "INSERT INTO stores(name) VALUES(?1)");
            ins.text(1, name_);
            ins.step();
        }
        tx.commit();
    }

    void drop() {
        Transaction tx(conn_);
        conn_.exec(kSchema);
        Statement d1(conn_.db(), "DELETE FROM certs WHERE store = ?1");
        d1.text(1, name_);
        d1.step();
        Statement d2(conn_.db(), "DELETE FROM stores WHERE name = ?1");
        d2.text(1, name_);
        d2.step();
        tx.commit();
    }

    std::optional<StoredCert> next(std::int64_t after) override {
        Statement q(conn_.db(),
                    "SELECT id, der, props FROM certs WHERE store = ?1 AND id > ?2 ORDER BY id "
                    "LIMIT 1");
        q.text(1, name_);
        q.integer(2, after);
        if (!q.step()) {
            return std::nullopt;
        }
        return StoredCert{q.columnInt(0), q.columnBlob(1), decodeProps(q.columnBlob(2))};
    }

    std::int64_t add(const AddRequest& request, DWORD disposition) override {
        Transaction tx(conn_);
        std::optional<std::uint64_t> existingNotBefore;
        std::int64_t existingId = 0;
        PropertyMap existingProps;
        if (disposition != CERT_STORE_ADD_ALWAYS) {
            Statement q(
                conn_.db(),
                "SELECT id, not_before, props FROM certs WHERE store = ?1 AND identity = ?2 "
                "ORDER BY id LIMIT 1");
            q.text(1, name_);
            q.blob(2, request.identity);
            if (q.step()) {
                existingId = q.columnInt(0);
                existingNotBefore = static_cast<std::uint64_t>(q.columnInt(1));
                existingProps = decodeProps(q.columnBlob(2));
            }
        }
        AddPlan plan = planAdd(disposition, existingNotBefore, request.notBefore);
        std::int64_t id = 0;
        switch (plan.action) {
            case AddPlan::Action::Fail:
                throw StoreError{static_cast<DWORD>(CRYPT_E_EXISTS)};
            case AddPlan::Action::UseExisting: {
                for (const auto& [pid, value] : request.props) {
                    existingProps[pid] = value;
                }
                writeProps(existingId, existingProps);
                id = existingId;
                break;
            }
            case AddPlan::Action::Replace:
            case AddPlan::Action::Insert: {
                PropertyMap props;
                if (plan.action == AddPlan::Action::Replace) {
                    if (plan.inheritExisting) {
                        props = existingProps;
                    }
                    Statement d(conn_.db(), "DELETE FROM certs WHERE id = ?1");
                    d.integer(1, existingId);
                    d.step();
                }
                for (const auto& [pid, value] : request.props) {
                    props[pid] = value;
                }
                Statement ins(conn_.db(),
                              "INSERT INTO certs(store, identity, not_before, der, props) "
                              "VALUES(?1, ?2, ?3, ?4, ?5)");
                ins.text(1, name_);
                ins.blob(2, request.identity);
                ins.integer(3, static_cast<std::int64_t>(request.notBefore));
                ins.blob(4, request.der);
                ins.blob(5, serializeProperties(props));
                ins.step();
                id = sqlite3_last_insert_rowid(conn_.db());
                break;
            }
        }
        tx.commit();
        return id;
    }

    void remove(std::int64_t id) override {
        Transaction tx(conn_);
        Statement d(conn_.db(), "DELETE FROM certs WHERE id = ?1 AND store = ?2");
        d.integer(1, id);
        d.text(2, name_);
        d.step();
        if (sqlite3_changes(conn_.db()) == 0) {
            throw StoreError{static_cast<DWORD>(CRYPT_E_NOT_FOUND)};
        }
        tx.commit();
    }

    PropertyMap properties(std::int64_t id) override {
        Statement q(conn_.db(), "SELECT props FROM certs WHERE id = ?1 AND store = ?2");
        q.integer(1, id);
        q.text(2, name_);
        if (!q.step()) {
            throw StoreError{static_cast<DWORD>(CRYPT_E_NOT_FOUND)};
        }
        return decodeProps(q.columnBlob(0));
    }

    void setProperty(std::int64_t id, DWORD propId, const std::optional<Bytes>& value) override {
        // Read, change and write in one transaction, so concurrent writers of other properties
        // of the same certificate are not lost.
        Transaction tx(conn_);
        PropertyMap props = properties(id);
        if (value) {
            props[propId] = *value;
        } else {
            props.erase(propId);
        }
        writeProps(id, props);
        tx.commit();
    }

  private:
    void writeProps(std::int64_t id, const PropertyMap& props) {
        Statement u(conn_.db(), "UPDATE certs SET props = ?1 WHERE id = ?2");
        u.blob(1, serializeProperties(props));
        u.integer(2, id);
        u.step();
    }

    Connection conn_;
    std::string name_;
};

}  // namespace

std::string storeDatabaseFile(StoreLocation location) {
    using registry::Hive;
    Hive hive = location == StoreLocation::CurrentUser ? Hive::User : Hive::Machine;
    const char* file =
        location == StoreLocation::CurrentUser ? "user-certs.db" : "machine-certs.db";
    return (fs::path(registry::hiveFile(hive)).parent_path() / file).string();
}

std::unique_ptr<StoreBackend> openSystemStore(StoreLocation location, const std::string& name,
                                              bool openExisting) {
    auto backend = std::make_unique<SqliteBackend>(storeDatabaseFile(location), name);
    backend->init(openExisting);
    return backend;
}

void deleteSystemStore(StoreLocation location, const std::string& name) {
    SqliteBackend backend(storeDatabaseFile(location), name);
    backend.drop();
}

}  // namespace vantor::crypt32
