#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace setupaid {

enum class FileStatus { kOk, kMissing, kDenied, kFailed };

// The result code for a failed file operation: access denied for a missing
// permission or a read-only file system, any other failure otherwise.
int ResultCodeOf(FileStatus status);

// True when something (a file, folder or link target) is at path.
bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);

// Reads the whole file into content.
FileStatus ReadWholeFile(const std::string& path, std::string& content);

// Creates a folder and the folders above it that are missing.
FileStatus MakeFolders(const std::string& folder, mode_t mode);

// New content for a file, first written to a temporary file beside it so that
// it can be checked, then put in place with one rename: a reader sees the old
// file or the new one, never a half-written one. A pending file that is not
// committed is removed. The new file keeps the mode of the one it replaces.
class PendingFile {
  public:
    PendingFile() = default;
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Writes content to the temporary file (durably). newFileMode is the
    // mode when there is no file at path yet.
    FileStatus Write(const std::string& path, std::string_view content, mode_t newFileMode);
    // The temporary file, for checking it.
    const std::string& TemporaryPath() const { return temporary_; }
    // Renames the temporary file over the file.
    FileStatus Commit();

  private:
    std::string target_;
    std::string temporary_;
};

// The lines of a text, without their line ends; a final line end does not
// start another line.
std::vector<std::string_view> SplitLines(std::string_view text);

// Writes content to path through a pending file.
FileStatus ReplaceFile(const std::string& path, std::string_view content, mode_t newFileMode);

}  // namespace setupaid
