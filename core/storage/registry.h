#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/storage/registry_store.h"
#include "core/storage/setting_storage.h"

// A key under a registry root, on the SQLite-backed store (one database per
// root, see KtRegistryStore). The value "Line Watchman" of the Run key
// "Software\Microsoft\Windows\CurrentVersion\Run" is mounted on the XDG
// autostart file of the root (see XdgAutostart); every other value lives in
// the database.
//
// Typed reads follow the registry: ReadString gives the data of a REG_SZ,
// REG_EXPAND_SZ or REG_MULTI_SZ value less its terminating NUL (up to the
// first NUL; no expansion), and the default for any other type or for data of
// size 0; ReadInt gives the first (up to) four bytes of the data of any type
// as a little-endian integer, the missing high bytes zero, and the default
// for data of size 0.
//
// With no key open, reads give their defaults, ValueExists and DeleteValue
// false, and writes do nothing. A key opened without write access refuses
// writes in the same way.
class KtRegistry : public KtSettingStorage {
  public:
    explicit KtRegistry(RegistryRoot root);

    bool ValueExists(std::string_view name) override;
    std::string ReadString(std::string_view name, std::string_view defaultValue) override;
    std::string ReadString(std::string_view name) override;
    int32_t ReadInt(std::string_view name, int32_t defaultValue) override;
    int32_t ReadInt(std::string_view name) override;
    void WriteString(std::string_view name, std::string_view value) override;
    void WriteInt(std::string_view name, int32_t value) override;
    bool DeleteValue(std::string_view name) override;

    virtual ~KtRegistry();
    KtRegistry(const KtRegistry&) = delete;
    KtRegistry& operator=(const KtRegistry&) = delete;

    // Opens a key. A path starting with a backslash is taken from the root
    // (the backslash dropped); any other path, the empty one included, from the
    // open key if there is one, else from the root. create: make the key and
    // its missing parents. writable: the key will be written; fails when this
    // process cannot write the root's database (or, for the Run key, its
    // autostart folder), so that the caller can turn to elevation. On failure
    // the object stays as it was.
    bool Open(std::string_view path, bool create, bool writable);
    void Close();
    bool IsOpen() const { return open_; }
    bool IsWritable() const { return open_ && writable_; }
    RegistryRoot Root() const { return root_; }
    // The open key from the root, names joined with backslashes ("" for the root).
    std::string KeyPath() const;

    // Typed access for callers that must plant or inspect any value type, and
    // for writers that need to know whether the write worked.
    bool QueryValue(std::string_view name, uint32_t& type, std::string& data);
    bool SetValue(std::string_view name, uint32_t type, std::string_view data);
    // REG_SZ with the terminating NUL, as WriteString stores it.
    bool SetStringValue(std::string_view name, std::string_view value);
    // REG_DWORD, four bytes little-endian, as WriteInt stores it.
    bool SetIntValue(std::string_view name, int32_t value);

    // Groups the database writes that follow into one transaction, made
    // durable together by CommitBatch; if one of them fails, none is kept.
    // Needs a key opened writable. The mounted autostart value is a file of its
    // own and is written at once, outside the batch. A batch neither committed
    // nor discarded is dropped when the object is destroyed.
    bool BeginBatch();
    bool CommitBatch();
    void DiscardBatch();
    bool InBatch() const;

    // Splits a key path into names; false if it is malformed (an empty name
    // inside it, a name over 255 bytes, a NUL). A single trailing backslash is
    // allowed.
    static bool ParseKeyPath(std::string_view path, RegistryKeyPath& key);

  private:
    bool IsMounted(std::string_view name) const;

    RegistryRoot root_;
    std::unique_ptr<KtRegistryStore> store_;
    bool open_ = false;
    bool writable_ = false;
    RegistryKeyPath key_;
};
