#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/storage/setting_storage.h"

// A section of an INI file, read and written with the semantics of the
// Windows private-profile functions that the program relies on:
// - sections and keys are found without regard to ASCII case; the first
//   section and the first key of a name count;
// - blanks around keys and values are trimmed, then one pair of matching
//   quotes ("..." or '...') around a value is stripped;
// - a read gives at most 2047 characters;
// - lines starting with ';' are comments; comments, blank lines, other
//   sections and keys and the order of lines survive a write;
// - a missing file reads as empty and is created by the first write.
// ReadInt converts like GetPrivateProfileInt: leading blanks, an optional
// sign, then decimal digits up to the first non-digit ("12abc" is 12, "abc"
// is 0, "0x10" is 0); an empty value gives the default. Unlike what the
// Windows documentation states, a negative number is returned as such, so
// that whatever WriteInt stores reads back unchanged.
//
// Writes replace the file atomically (a temporary file in the same folder,
// synced, renamed over the old one), so a crash leaves the old or the new
// file; a symbolic link in the file's place is refused. Several writes can
// be made one replacement with BeginBatch / CommitBatch. A value, key or
// section holding a line break (or NUL) cannot be stored in an INI file and
// is refused: the write returns false and changes nothing. Values with
// blanks at either end, or wrapped in matching quotes, are written inside an
// extra pair of quotes so that they read back unchanged.
//
// A file that cannot be read reads as empty and is never overwritten; a file
// that is not text (holds NUL bytes, or is larger than 8 MiB) reads as empty
// and the next write moves it aside to "<file>.corrupt-<YYYYmmdd-HHMMSS>" and
// starts a new one. Both are reported through DebugOutput.
//
// Not thread-safe; one object per use, on one thread.
class KtIniFile final : public KtSettingStorage {
  public:
    // A key whose value is this text counts as absent.
    static constexpr std::string_view kAbsentMarker = "[~!@#$%^&*()_+]";
    // Reads go through a 2048-byte buffer on Windows: one byte is the NUL.
    static constexpr size_t kMaxValueChars = 2047;
    static constexpr size_t kMaxFileBytes = 8 * 1024 * 1024;

    KtIniFile();
    explicit KtIniFile(std::string fileName);
    ~KtIniFile();
    KtIniFile(const KtIniFile&) = delete;
    KtIniFile& operator=(const KtIniFile&) = delete;

    void SetFileName(std::string_view fileName);
    void SetSection(std::string_view section);
    const std::string& FileName() const { return fileName_; }
    const std::string& Section() const { return section_; }

    // KtSettingStorage, on the current section.
    bool ValueExists(std::string_view name) override;
    std::string ReadString(std::string_view name, std::string_view defaultValue) override;
    std::string ReadString(std::string_view name) override;
    int32_t ReadInt(std::string_view name, int32_t defaultValue) override;
    int32_t ReadInt(std::string_view name) override;
    void WriteString(std::string_view name, std::string_view value) override;
    void WriteInt(std::string_view name, int32_t value) override;
    // Deleting is not supported: returns false and changes nothing.
    bool DeleteValue(std::string_view name) override;

    // The same operations on an explicit section.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue);
    int32_t ReadInt(std::string_view section, std::string_view key, int32_t defaultValue);
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    bool WriteInt(std::string_view section, std::string_view key, int32_t value);

    // Collects the writes to the current file that follow and writes them with
    // one replacement of the file at CommitBatch. Reads in between see them.
    // BeginBatch fails if the file cannot be read; CommitBatch reports whether
    // the file was written (true if there was nothing to write). A batch not
    // committed is dropped.
    bool BeginBatch();
    bool CommitBatch();
    void DiscardBatch();
    bool InBatch() const { return batch_ != nullptr; }

    // Integer conversion of a value text as ReadInt does it.
    static int32_t ParseInt(std::string_view text);

  private:
    struct Document {
        std::string path;
        std::vector<std::string> lines;
        std::string lineEnd = "\n";
        bool exists = false;
        bool unreadable = false;  // could not be read: never overwrite it
        bool broken = false;      // not text: moved aside by the next write
        bool dirty = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
    };

    const Document* Current();
    std::unique_ptr<Document> Load(const std::string& path);
    bool Lookup(const Document& doc, std::string_view section, std::string_view key,
                std::string& value) const;
    bool Apply(Document& doc, std::string_view section, std::string_view key,
               std::string_view value) const;
    bool Save(Document& doc);

    std::string fileName_;
    std::string section_;
    std::unique_ptr<Document> cache_;  // last file read, checked against the file before use
    std::unique_ptr<Document> batch_;
};
