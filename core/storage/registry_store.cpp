#include "core/storage/registry_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "core/debug_output.h"
#include "core/file_system.h"

namespace {

// Long enough for the elevated helper to finish a write the program waits on.
constexpr int kBusyTimeoutMs = 5000;
// 'LWRG': marks the file as ours for anyone inspecting it.
constexpr int kApplicationId = 0x4C575247;
constexpr int kSchemaVersion = 1;

std::mutex gOverrideMutex;
std::string gOverride[2];

size_t RootIndex(RegistryRoot root) {
    return root == RegistryRoot::CurrentUser ? 0 : 1;
}

bool ValidName(std::string_view name, size_t maxBytes) {
    return name.size() <= maxBytes && name.find('\0') == std::string_view::npos;
}

bool ValidKeyPath(const RegistryKeyPath& key) {
    if (key.size() > kMaxRegistryKeyDepth) return false;
    for (const std::string& part : key) {
        if (part.empty() || part.find('\\') != std::string::npos ||
            !ValidName(part, kMaxRegistryKeyNameBytes)) {
            return false;
        }
    }
    return true;
}

// A prepared statement that is finalised when it goes out of scope.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        prepared_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int Prepared() const {
        return prepared_ == SQLITE_OK && stmt_ == nullptr ? SQLITE_ERROR : prepared_;
    }
    void Bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
    void BindText(int index, std::string_view text) {
        sqlite3_bind_text(stmt_, index, text.empty() ? "" : text.data(),
                          static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void BindBlob(int index, std::string_view data) {
        // An empty blob must stay a blob: binding a null pointer would store NULL.
        if (data.empty()) {
            sqlite3_bind_zeroblob(stmt_, index, 0);
        } else {
            sqlite3_bind_blob(stmt_, index, data.data(), static_cast<int>(data.size()),
                              SQLITE_TRANSIENT);
        }
    }
    int Step() { return sqlite3_step(stmt_); }
    int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
    std::string Blob(int column) {
        const void* bytes = sqlite3_column_blob(stmt_, column);
        const int size = sqlite3_column_bytes(stmt_, column);
        if (bytes == nullptr || size <= 0) return {};
        return std::string(static_cast<const char*>(bytes), static_cast<size_t>(size));
    }
    std::string Text(int column) {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        const int size = sqlite3_column_bytes(stmt_, column);
        if (text == nullptr || size <= 0) return {};
        return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int prepared_ = SQLITE_ERROR;
};

bool IsDamageCode(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace

std::string KtRegistryStore::DatabasePath(RegistryRoot root) {
    {
        std::scoped_lock lock(gOverrideMutex);
        const std::string& path = gOverride[RootIndex(root)];
        if (!path.empty()) return path;
    }
    const char* env = std::getenv(root == RegistryRoot::CurrentUser ? "LW_HKCU_DB" : "LW_HKLM_DB");
    if (env != nullptr && env[0] != '\0') return env;
    if (root == RegistryRoot::CurrentUser) return XdgConfigHome() + "/linewatch/registry.db";
    return "/etc/linewatch/registry.db";
}

void KtRegistryStore::SetDatabasePath(RegistryRoot root, std::string path) {
    std::scoped_lock lock(gOverrideMutex);
    gOverride[RootIndex(root)] = std::move(path);
}

KtRegistryStore::KtRegistryStore(std::string path, RegistryRoot root)
    : path_(std::move(path)), root_(root) {}

KtRegistryStore::~KtRegistryStore() {
    if (inBatch_) DebugOutput("Registry batch dropped: it was neither committed nor discarded.\n");
    Disconnect();  // closing with a transaction open rolls it back
}

bool KtRegistryStore::CanWrite() const {
    return CanCreateOrReplaceFile(path_);
}

void KtRegistryStore::Disconnect() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
    mode_ = Mode::None;
    schemaKnown_ = -1;
    schemaStamped_ = false;
    inBatch_ = false;
}

bool KtRegistryStore::Connect(Mode mode) {
    if (mode_ == Mode::Write || (mode_ == Mode::Read && mode == Mode::Read)) return true;
    int flags = SQLITE_OPEN_NOMUTEX;
    if (mode == Mode::Read) {
        // A missing database is simply empty; opening it read-only would fail.
        if (!FileExists(path_)) return false;
        flags |= SQLITE_OPEN_READONLY;
    } else {
        if (!CanWrite()) return false;
        const unsigned folderMode = root_ == RegistryRoot::CurrentUser ? 0700 : 0755;
        if (!MakeDirectories(ParentFolderOf(path_), folderMode)) {
            DebugOutput("Registry database folder cannot be created for " + path_ + "\n");
            return false;
        }
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    }
    Disconnect();
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path_.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        DebugOutput("Registry database " + path_ + " cannot be opened: " +
                    (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + "\n");
        sqlite3_close_v2(db);
        return false;
    }
    db_ = db;
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 1);
    if (mode == Mode::Write && sqlite3_db_readonly(db_, "main") == 1) {
        Disconnect();
        return false;
    }
    mode_ = mode;
    damaged_ = false;  // judged afresh for each connection
    if (mode == Mode::Write) {
        // Settings are rarely written, so full syncing costs nothing noticeable.
        Exec("PRAGMA synchronous=FULL");
        // A file created by another tool may be in WAL mode; ours never are.
        Exec("PRAGMA journal_mode=DELETE");
    }
    const int health = CheckHealth();
    if (health == SQLITE_OK) return true;
    if (mode == Mode::Read && (health & 0xff) == SQLITE_READONLY) {
        // A writer died inside a transaction and left its journal: only a
        // connection that may write can roll it back.
        if (CanWrite()) return Connect(Mode::Write);
        DebugOutput("Registry database " + path_ + " holds an unfinished write that only a " +
                    "process allowed to write it can roll back; it reads as empty until then.\n");
        return false;
    }
    NoteFailure(health, "opening");
    return false;
}

void KtRegistryStore::NoteFailure(int rc, std::string_view what) {
    if (IsDamageCode(rc)) {
        damaged_ = true;
        if (!damageReported_) {
            damageReported_ = true;
            DebugOutput("Registry database " + path_ + " is damaged (" + std::string(what) + ": " +
                        sqlite3_errstr(rc) + "); its values read as missing until the next write " +
                        "replaces it.\n");
        }
        return;
    }
    DebugOutput("Registry database " + path_ + ": " + std::string(what) +
                " failed: " + (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)) + "\n");
}

// One read of the schema instead of an integrity check of every page: it
// takes the shared lock (rolling back a journal a dead writer left, or
// reporting that only a writer can) and reads the header and page one, where
// SQLite finds a file that is not a database or is shorter than its header
// says. Damage elsewhere shows when a read or write reaches it, and is handled
// then. No second descriptor is opened on the file: closing it would drop the
// locks every connection of this process holds on it.
int KtRegistryStore::CheckHealth() {
    Statement probe(db_, "SELECT count(*) FROM sqlite_master");
    int rc = probe.Prepared();
    if (rc == SQLITE_OK) rc = probe.Step();
    return rc == SQLITE_ROW ? SQLITE_OK : rc;
}

bool KtRegistryStore::Exec(const char* sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    sqlite3_free(error);
    if (rc != SQLITE_OK) {
        NoteFailure(rc, sql);
        return false;
    }
    return true;
}

bool KtRegistryStore::SchemaPresent() {
    if (schemaKnown_ < 0) {
        Statement query(db_,
                        "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN "
                        "('keys','vals')");
        int rc = query.Prepared();
        if (rc == SQLITE_OK) rc = query.Step();
        if (rc != SQLITE_ROW) {
            NoteFailure(rc, "reading the schema");
            return false;
        }
        schemaKnown_ = query.Int(0) == 2 ? 1 : 0;
    }
    return schemaKnown_ == 1;
}

bool KtRegistryStore::SchemaStamped() {
    if (!SchemaPresent()) return false;
    Statement query(db_,
                    "SELECT application_id, user_version FROM pragma_application_id, "
                    "pragma_user_version");
    int rc = query.Prepared();
    if (rc == SQLITE_OK) rc = query.Step();
    if (rc != SQLITE_ROW) {
        NoteFailure(rc, "reading the schema version");
        return false;
    }
    return query.Int(0) == kApplicationId && query.Int(1) == kSchemaVersion;
}

bool KtRegistryStore::EnsureSchema() {
    if (schemaStamped_) return true;
    // A store that has it all is left alone: a write here would wait for
    // every reader of the file, and change it for nothing.
    if (SchemaStamped()) {
        schemaStamped_ = true;
        return true;
    }
    if (damaged_) return false;
    // The root is the implicit key 0; key names are unique per parent without
    // regard to ASCII case, as registry names are.
    static const char* const kSchema =
        "CREATE TABLE IF NOT EXISTS keys("
        " id INTEGER PRIMARY KEY,"
        " parent INTEGER NOT NULL,"
        " name TEXT NOT NULL COLLATE NOCASE,"
        " UNIQUE(parent, name));"
        "CREATE TABLE IF NOT EXISTS vals("
        " key INTEGER NOT NULL,"
        " name TEXT NOT NULL COLLATE NOCASE,"
        " type INTEGER NOT NULL,"
        " data BLOB NOT NULL,"
        " PRIMARY KEY(key, name)) WITHOUT ROWID;";
    std::string sql = kSchema;
    sql += "PRAGMA application_id=" + std::to_string(kApplicationId) +
           ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
    if (!Exec(sql.c_str())) return false;
    schemaKnown_ = 1;
    schemaStamped_ = true;
    return true;
}

bool KtRegistryStore::Repair() {
    Disconnect();
    const std::string aside = DamagedFileName(path_);
    if (std::rename(path_.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
        DebugOutput("Registry database " + path_ + " is damaged and cannot be moved aside.\n");
        return false;
    }
    // The journal belongs to the damaged file: left in place, SQLite would
    // play it into the new database.
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        const std::string from = path_ + suffix;
        const std::string to = aside + suffix;
        if (std::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
            unlink(from.c_str());
        }
    }
    SyncFolderOf(path_);
    DebugOutput("Registry database " + path_ + " was damaged; moved it to " + aside +
                " and started a new one.\n");
    damaged_ = false;
    damageReported_ = false;
    return Connect(Mode::Write) && EnsureSchema();
}

bool KtRegistryStore::ReadyToWrite() {
    const bool healthy = Connect(Mode::Write);
    if (mode_ != Mode::Write) return false;  // this process cannot write the file at all
    if (!healthy && !damaged_) return false;
    if (damaged_) {
        if (inBatch_ || !Repair()) return false;
    }
    return EnsureSchema();
}

template <class Body>
bool KtRegistryStore::Write(Body body) {
    if (inBatch_) {
        // A statement error may have ended the transaction inside SQLite; writing
        // on in autocommit mode would break the batch apart.
        if (batchFailed_ || db_ == nullptr || sqlite3_get_autocommit(db_) != 0) {
            batchFailed_ = true;
            return false;
        }
        if (!body()) {
            batchFailed_ = true;
            return false;
        }
        return true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ReadyToWrite()) return false;
        if (Exec("BEGIN IMMEDIATE")) {
            if (body() && Exec("COMMIT")) return true;
            if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) Exec("ROLLBACK");
        }
        if (!damaged_) return false;  // damage found on the way: replace the file, try once more
    }
    return false;
}

KtRegistryStore::Lookup KtRegistryStore::FindKeyId(const RegistryKeyPath& key, int64_t& id) {
    id = 0;
    if (!ValidKeyPath(key)) return Lookup::Missing;
    if (mode_ == Mode::None) {
        if (!FileExists(path_)) return Lookup::Missing;
        if (!Connect(Mode::Read)) return Lookup::Failed;
    }
    if (damaged_) return Lookup::Failed;
    if (key.empty()) return Lookup::Found;
    if (!SchemaPresent()) return damaged_ ? Lookup::Failed : Lookup::Missing;
    for (const std::string& part : key) {
        Statement query(db_, "SELECT id FROM keys WHERE parent=?1 AND name=?2");
        int rc = query.Prepared();
        if (rc == SQLITE_OK) {
            query.Bind(1, id);
            query.BindText(2, part);
            rc = query.Step();
        }
        if (rc == SQLITE_DONE) return Lookup::Missing;
        if (rc != SQLITE_ROW) {
            NoteFailure(rc, "looking up a key");
            return Lookup::Failed;
        }
        id = query.Int(0);
    }
    return Lookup::Found;
}

bool KtRegistryStore::CreateKeyId(const RegistryKeyPath& key, int64_t& id) {
    id = 0;
    for (const std::string& part : key) {
        Statement insert(db_,
                         "INSERT INTO keys(parent, name) VALUES(?1, ?2) ON CONFLICT DO NOTHING");
        int rc = insert.Prepared();
        if (rc == SQLITE_OK) {
            insert.Bind(1, id);
            insert.BindText(2, part);
            rc = insert.Step();
        }
        if (rc != SQLITE_DONE) {
            NoteFailure(rc, "creating a key");
            return false;
        }
        Statement query(db_, "SELECT id FROM keys WHERE parent=?1 AND name=?2");
        rc = query.Prepared();
        if (rc == SQLITE_OK) {
            query.Bind(1, id);
            query.BindText(2, part);
            rc = query.Step();
        }
        if (rc != SQLITE_ROW) {
            NoteFailure(rc, "creating a key");
            return false;
        }
        id = query.Int(0);
    }
    return true;
}

KtRegistryStore::Lookup KtRegistryStore::FindKey(const RegistryKeyPath& key) {
    int64_t id = 0;
    return FindKeyId(key, id);
}

bool KtRegistryStore::CreateKey(const RegistryKeyPath& key) {
    if (!ValidKeyPath(key)) return false;
    return Write([&] {
        int64_t id = 0;
        return CreateKeyId(key, id);
    });
}

bool KtRegistryStore::QueryValue(const RegistryKeyPath& key, std::string_view name, uint32_t& type,
                                 std::string& data) {
    if (!ValidName(name, kMaxRegistryValueNameBytes)) return false;
    int64_t id = 0;
    if (FindKeyId(key, id) != Lookup::Found) return false;
    if (!SchemaPresent()) return false;
    Statement query(db_, "SELECT type, data FROM vals WHERE key=?1 AND name=?2");
    int rc = query.Prepared();
    if (rc == SQLITE_OK) {
        query.Bind(1, id);
        query.BindText(2, name);
        rc = query.Step();
    }
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) {
        NoteFailure(rc, "reading a value");
        return false;
    }
    type = static_cast<uint32_t>(query.Int(0));
    data = query.Blob(1);
    return true;
}

bool KtRegistryStore::SetValue(const RegistryKeyPath& key, std::string_view name, uint32_t type,
                               std::string_view data) {
    if (!ValidKeyPath(key) || !ValidName(name, kMaxRegistryValueNameBytes) ||
        data.size() > kMaxRegistryValueBytes) {
        batchFailed_ = batchFailed_ || inBatch_;
        return false;
    }
    return Write([&] {
        int64_t id = 0;
        if (!CreateKeyId(key, id)) return false;
        if (root_ == RegistryRoot::LocalMachine && !RoomForValue(id, name)) return false;
        // The first spelling of a value name stays, as in the registry.
        Statement upsert(
            db_,
            "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
            "ON CONFLICT(key, name) DO UPDATE SET type=excluded.type, data=excluded.data");
        int rc = upsert.Prepared();
        if (rc == SQLITE_OK) {
            upsert.Bind(1, id);
            upsert.BindText(2, name);
            upsert.Bind(3, static_cast<int64_t>(type));
            upsert.BindBlob(4, data);
            rc = upsert.Step();
        }
        if (rc != SQLITE_DONE) {
            NoteFailure(rc, "writing a value");
            return false;
        }
        return true;
    });
}

// Whether the key may take this value: it is already there (a replacement),
// or the key holds fewer than kMaxMachineValuesPerKey values.
bool KtRegistryStore::RoomForValue(int64_t key, std::string_view name) {
    Statement query(db_,
                    "SELECT count(*), EXISTS(SELECT 1 FROM vals WHERE key=?1 AND name=?2) "
                    "FROM vals WHERE key=?1");
    int rc = query.Prepared();
    if (rc == SQLITE_OK) {
        query.Bind(1, key);
        query.BindText(2, name);
        rc = query.Step();
    }
    if (rc != SQLITE_ROW) {
        NoteFailure(rc, "counting values");
        return false;
    }
    if (query.Int(1) != 0 || query.Int(0) < static_cast<int64_t>(kMaxMachineValuesPerKey)) {
        return true;
    }
    DebugOutput("Registry database " + path_ + ": a key holds " +
                std::to_string(kMaxMachineValuesPerKey) +
                " values already; a new one is refused.\n");
    return false;
}

bool KtRegistryStore::DeleteValue(const RegistryKeyPath& key, std::string_view name) {
    if (!ValidKeyPath(key) || !ValidName(name, kMaxRegistryValueNameBytes)) {
        batchFailed_ = batchFailed_ || inBatch_;
        return false;
    }
    if (!FileExists(path_) && mode_ == Mode::None) return false;
    bool deleted = false;
    const bool written = Write([&] {
        int64_t id = 0;
        const Lookup found = FindKeyId(key, id);
        if (found == Lookup::Failed) return false;
        if (found == Lookup::Missing) return true;
        Statement erase(db_, "DELETE FROM vals WHERE key=?1 AND name=?2");
        int rc = erase.Prepared();
        if (rc == SQLITE_OK) {
            erase.Bind(1, id);
            erase.BindText(2, name);
            rc = erase.Step();
        }
        if (rc != SQLITE_DONE) {
            NoteFailure(rc, "deleting a value");
            return false;
        }
        deleted = sqlite3_changes(db_) > 0;
        return true;
    });
    return written && deleted;
}

bool KtRegistryStore::DeleteEmptyKeys(const RegistryKeyPath& key) {
    if (!ValidKeyPath(key)) return false;
    if (!FileExists(path_) && mode_ == Mode::None) return true;
    return Write([&] {
        for (size_t depth = key.size(); depth > 0; --depth) {
            const RegistryKeyPath part(key.begin(), key.begin() + static_cast<ptrdiff_t>(depth));
            int64_t id = 0;
            const Lookup found = FindKeyId(part, id);
            if (found == Lookup::Failed) return false;
            if (found == Lookup::Missing) continue;
            Statement erase(db_,
                            "DELETE FROM keys WHERE id=?1"
                            " AND NOT EXISTS(SELECT 1 FROM vals WHERE key=?1)"
                            " AND NOT EXISTS(SELECT 1 FROM keys WHERE parent=?1)");
            int rc = erase.Prepared();
            if (rc == SQLITE_OK) {
                erase.Bind(1, id);
                rc = erase.Step();
            }
            if (rc != SQLITE_DONE) {
                NoteFailure(rc, "deleting a key");
                return false;
            }
            // A key that stays keeps its parents.
            if (sqlite3_changes(db_) == 0) return true;
        }
        return true;
    });
}

bool KtRegistryStore::ReadEmpty(bool& empty) {
    empty = true;
    if (mode_ == Mode::None) {
        if (!FileExists(path_)) return true;
        if (!Connect(Mode::Read)) return false;
    }
    if (damaged_) return false;
    if (!SchemaPresent()) return !damaged_;
    Statement query(db_, "SELECT EXISTS(SELECT 1 FROM keys)");
    int rc = query.Prepared();
    if (rc == SQLITE_OK) rc = query.Step();
    if (rc != SQLITE_ROW) {
        NoteFailure(rc, "counting keys");
        return false;
    }
    empty = query.Int(0) == 0;
    return true;
}

bool KtRegistryStore::Begin() {
    if (inBatch_) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ReadyToWrite()) return false;
        if (Exec("BEGIN IMMEDIATE")) {
            inBatch_ = true;
            batchFailed_ = false;
            return true;
        }
        if (!damaged_) return false;
    }
    return false;
}

bool KtRegistryStore::Commit() {
    if (!inBatch_) return false;
    inBatch_ = false;
    const bool open = db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
    if (!batchFailed_ && open && Exec("COMMIT")) return true;
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) Exec("ROLLBACK");
    DebugOutput("Registry database " + path_ + ": a batch of writes failed and was not kept.\n");
    return false;
}

void KtRegistryStore::Rollback() {
    if (!inBatch_) return;
    inBatch_ = false;
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) Exec("ROLLBACK");
}
