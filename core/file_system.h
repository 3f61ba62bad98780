#pragma once

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
