#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

// Paths, folders and whole-file replacement: the file-system work that the
// stores, the autostart entries and the logs share.

// Joins a folder and a name with one slash.
std::string JoinPath(std::string_view folder, std::string_view name);

// The folder part of a path ("." for a bare name, "/" for a name in the root).
std::string ParentFolderOf(const std::string& path);

// The user's home folder without trailing slashes ("/" stays "/"): $HOME when
// it is an absolute path, else the password entry's; empty when neither is.
std::string HomeFolder();

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else the home folder + "/.config".
std::string XdgConfigHome();

// True if the path's attributes can be read and it is not a folder.
bool FileExists(std::string_view path);

// Whether this process can create or replace the file at path: the file
// exists and is writable and so is its folder, or the file is missing and its
// folder exists writable or can be created below a writable folder.
bool CanCreateOrReplaceFile(const std::string& path);

// Creates a folder and its missing parents with the given mode. True if the
// folder exists afterwards.
bool MakeDirectories(const std::string& dir, unsigned mode);

// Flushes the folder entry of path (after a rename or unlink) to disk.
void SyncFolderOf(const std::string& path);

// A free name beside path for moving a damaged file aside:
// "<path>.corrupt-<YYYYmmdd-HHMMSS>", with "-<n>" added if that is taken.
std::string DamagedFileName(const std::string& path);

// Replaces the file at path with content so that a crash leaves either the
// old or the new file: a temporary file in the same folder is written,
// synced and renamed over path, then the folder is synced. An existing file
// keeps its mode (and owner, when running as root); a new one gets newFileMode.
// Anything at path that is not a regular file is refused (false, nothing
// written), a symbolic link above all: a privileged writer must never write
// through a link someone planted. Temporary files that killed writers left
// beside path more than ten minutes ago are removed.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, unsigned newFileMode);

// Opens a log file for appending (created with mode 0644 when missing),
// close-on-exec. The last path component must be a regular file: a symbolic
// link, a FIFO or a device there is refused, so that a link planted in a
// shared log folder cannot redirect the log onto another file, and nothing
// is emptied then. With truncate an existing file is emptied. Invalid (errno
// set) on failure.
UniqueFd OpenLogFile(const std::string& path, bool truncate);

// What reading a small file whole found.
enum class SmallFileStatus {
    kOk,
    kOpenFailed,  // the open failed (error says why; ENOENT for a missing file)
    kNotRegular,  // a folder, FIFO, device or socket: never read
    kTooLarge,    // more than maxBytes, by its size or by what was read
    kReadFailed,  // fstat or read failed (error says why)
};

struct SmallFileRead {
    SmallFileStatus status = SmallFileStatus::kReadFailed;
    int error = 0;        // errno of a failed open, fstat or read; 0 otherwise
    struct stat info {};  // the file's attributes when fstat succeeded
};

// Reads the open file fd whole into bytes (emptied first) when it is a
// regular file of at most maxBytes. The type and size are checked before the
// first read, so a FIFO is never waited on, and again while reading, so a
// file that grows cannot make bytes larger than maxBytes + one buffer. fd
// stays open.
SmallFileRead ReadSmallFile(int fd, size_t maxBytes, std::string& bytes);

// The same for the file at path, opened read-only and close-on-exec and
// closed again before returning.
SmallFileRead ReadSmallFile(const std::string& path, size_t maxBytes, std::string& bytes);
