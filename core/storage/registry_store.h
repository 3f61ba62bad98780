#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The two registry roots the program uses.
enum class RegistryRoot { CurrentUser, LocalMachine };

// Registry value types, kept with their registry numbers so that the typed
// read rules (a string read from a DWORD gives the default, an integer read
// from a string gives its first bytes) work as they do on the registry.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;

struct sqlite3;

// Key path below a root, one element per key name ("Software", "Tarnweld
// Software", ...). The empty path is the root itself.
using RegistryKeyPath = std::vector<std::string>;

// Limits of the registry that the store keeps as well.
constexpr size_t kMaxRegistryKeyNameBytes = 255;
constexpr size_t kMaxRegistryValueNameBytes = 16383;
constexpr size_t kMaxRegistryKeyDepth = 512;
// Far above anything the program stores; keeps a bad caller from filling the disk.
constexpr size_t kMaxRegistryValueBytes = 16 * 1024 * 1024;
// Values one key of the machine-wide store may hold: the program keeps one or
// two per key there, and a cap keeps one approved helper session from growing
// the file without limit. A new value past it is refused; existing values can
// still be replaced and deleted.
constexpr size_t kMaxMachineValuesPerKey = 64;

// One registry root kept in an SQLite database: hierarchical keys, typed
// values, key and value names compared with ASCII case folding and kept in
// the case they were first written with.
//
// Durability: the database uses SQLite's rollback journal (journal_mode
// DELETE) with synchronous=FULL, and every write is one transaction, so a
// process killed at any moment leaves the old or the new state. The rollback
// journal rather than WAL because the machine-wide database lives in a folder
// ordinary users cannot write: a WAL database needs its -shm file to be
// writable (or creatable) by every reader, a rollback-journal database is
// readable with read permission alone.
//
// Opening reads the schema only, no integrity check of every page, so a large
// store is not read through on every connection; damage shows when a read or
// write reaches it. Nothing is written on opening: the schema and its version
// stamp are written only when they are missing.
//
// A database that SQLite reports as damaged reads as empty (one line goes to
// DebugOutput) and is replaced by the next write: the damaged file and its
// journal are renamed to "<file>.corrupt-<YYYYmmdd-HHMMSS>" and a new
// database is started.
//
// One object is one connection; it is used by one thread. Two processes (the
// program and the elevated helper) may share a file: waits for the other's
// lock are bounded by a busy timeout.
class KtRegistryStore {
  public:
    // Database file of a root: the path set with SetDatabasePath, else the
    // environment variable LW_HKCU_DB / LW_HKLM_DB, else
    // $XDG_CONFIG_HOME/linewatch/registry.db (XDG_CONFIG_HOME defaulting to
    // ~/.config) for the current user and /etc/linewatch/registry.db for the
    // machine.
    static std::string DatabasePath(RegistryRoot root);
    // Overrides the database file of a root for this process (tests); an empty
    // path removes the override.
    static void SetDatabasePath(RegistryRoot root, std::string path);

    enum class Lookup { Found, Missing, Failed };

    KtRegistryStore(std::string path, RegistryRoot root);
    ~KtRegistryStore();
    KtRegistryStore(const KtRegistryStore&) = delete;
    KtRegistryStore& operator=(const KtRegistryStore&) = delete;

    const std::string& Path() const { return path_; }

    // Whether this process could write the database: the file is writable, or
    // it does not exist yet and its folder is writable or can be created.
    bool CanWrite() const;

    // Whether the key exists. Failed: the database could not be read (damaged or
    // unreadable); the key counts as missing.
    Lookup FindKey(const RegistryKeyPath& key);
    // Creates the key and any missing parents.
    bool CreateKey(const RegistryKeyPath& key);

    // Reads a value of an existing key. False if the key or value is missing or
    // the database cannot be read.
    bool QueryValue(const RegistryKeyPath& key, std::string_view name, uint32_t& type,
                    std::string& data);
    // Stores a value; creates the key (and its parents) if it is missing.
    bool SetValue(const RegistryKeyPath& key, std::string_view name, uint32_t type,
                  std::string_view data);
    // True if the value existed and was removed.
    bool DeleteValue(const RegistryKeyPath& key, std::string_view name);
    // Removes the key when it holds no values and no subkeys, then each of its
    // parents that is left so. True when the store could be read and written
    // (a missing or non-empty key is left alone and counts as success).
    bool DeleteEmptyKeys(const RegistryKeyPath& key);
    // Sets empty to whether the store holds no key at all (a missing file
    // holds none). False when the database cannot be read.
    bool ReadEmpty(bool& empty);

    // Groups the writes that follow into one transaction. Commit makes them
    // durable together; if any of them failed (refused arguments included), or
    // Commit itself fails, nothing of the batch is kept. Rollback drops them. Destroying the store
    // with a batch open drops it.
    bool Begin();
    bool Commit();
    void Rollback();
    bool InBatch() const { return inBatch_; }

    // Whether the database was found damaged (and not yet replaced).
    bool IsDamaged() const { return damaged_; }

  private:
    enum class Mode { None, Read, Write };

    bool Connect(Mode mode);
    void Disconnect();
    bool EnsureSchema();
    bool SchemaPresent();
    bool Repair();
    int CheckHealth();
    bool SchemaStamped();
    bool RoomForValue(int64_t key, std::string_view name);
    void NoteFailure(int rc, std::string_view what);
    bool ReadyToWrite();
    bool Exec(const char* sql);
    Lookup FindKeyId(const RegistryKeyPath& key, int64_t& id);
    bool CreateKeyId(const RegistryKeyPath& key, int64_t& id);
    template <class Body>
    bool Write(Body body);

    std::string path_;
    RegistryRoot root_;
    sqlite3* db_ = nullptr;
    Mode mode_ = Mode::None;
    bool damaged_ = false;
    bool damageReported_ = false;
    bool inBatch_ = false;
    bool batchFailed_ = false;
    int schemaKnown_ = -1;        // -1 unknown, 0 absent, 1 present
    bool schemaStamped_ = false;  // tables, application id and version all in place
};
