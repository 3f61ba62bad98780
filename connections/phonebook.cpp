#include "connections/phonebook.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>

#include "core/debug_output.h"
#include "core/elevation/admin_operation.h"
#include "core/file_system.h"
#include "core/unique_fd.h"

namespace {

constexpr mode_t kEntryMode = 0640;
constexpr size_t kMaxEntryBytes = 64 * 1024;
constexpr int kMaxSuggestion = 8;

std::mutex folderMutex;
std::string folderOverride;

bool ReadPeersEntry(int dirFd, const std::string& name, std::string& text) {
    const UniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return fd.Valid() &&
           ReadSmallFile(fd.Get(), kMaxEntryBytes, text).status == SmallFileStatus::kOk;
}

// Whether the existing regular file `entry` may be replaced.
bool MayReplace(int dirFd, const std::string& entry, PeersReplace replace) {
    switch (replace) {
        case PeersReplace::None:
            return false;
        case PeersReplace::Agreed:
            return true;
        case PeersReplace::OwnEntries:
            break;
    }
    std::string text;
    return ReadPeersEntry(dirFd, entry, text) && IsWrittenByLineWatchman(text);
}

// Renames from to to in the folder unless to exists (EEXIST then).
bool RenameNoReplace(int dirFd, const std::string& from, const std::string& to) {
    if (renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the flag: a hard link fails on an existing name.
    if (linkat(dirFd, from.c_str(), dirFd, to.c_str(), 0) != 0) {
        return false;
    }
    unlinkat(dirFd, from.c_str(), 0);
    return true;
}

bool IsSystemPeersFolder(const std::string& folder) {
    std::filesystem::path path = std::filesystem::path(folder).lexically_normal();
    if (!path.has_filename()) {
        path = path.parent_path();
    }
    return path == std::filesystem::path(kDefaultPeersFolder);
}

int32_t ErrnoResult(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ELOOP || error == ENOTDIR
               ? E_ACCESSDENIED
               : E_FAIL;
}

}  // namespace

std::string PeersFolder() {
    std::scoped_lock lock(folderMutex);
    return folderOverride.empty() ? std::string(kDefaultPeersFolder) : folderOverride;
}

void SetPeersFolder(std::string folder) {
    std::scoped_lock lock(folderMutex);
    folderOverride = std::move(folder);
}

PhonebookStatus FindConnections(std::string_view deviceType, std::string_view acName,
                                std::vector<KtRasConnection>& result) {
    const std::string folder = PeersFolder();
    UniqueFd dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.Valid()) {
        if (errno == EACCES) {
            DebugOutput("FindConnections: cannot read " + folder);
            return PhonebookStatus::FolderUnreadable;
        }
        return PhonebookStatus::Ok;
    }
    DIR* dir = fdopendir(dup(dirFd.Get()));
    if (dir == nullptr) {
        return PhonebookStatus::Ok;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        if (IsValidEntryName(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        std::string text;
        if (ReadPeersEntry(dirFd.Get(), name, text) &&
            IsAimedAt(ReadPeersEntry(text), deviceType, acName)) {
            result.emplace_back(name);
        }
    }
    return PhonebookStatus::Ok;
}

std::optional<PeersEntryTarget> ReadPeersEntryFile(const std::string& folder,
                                                   std::string_view name) {
    if (!IsValidEntryName(name)) {
        return std::nullopt;
    }
    UniqueFd dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string text;
    if (!dirFd.Valid() || !ReadPeersEntry(dirFd.Get(), std::string(name), text)) {
        return std::nullopt;
    }
    return ReadPeersEntry(text);
}

bool CanSearchPeersFolder() {
    return access(PeersFolder().c_str(), X_OK) == 0 || errno == ENOENT;
}

std::string UnreadableFolderAdvice() {
    return "The dial-up entries in " + PeersFolder() +
           " cannot be read. Join the 'dip' group (sudo adduser $USER dip), then log in again.";
}

EntryNameCheck CheckEntryName(std::string_view name) {
    if (!IsValidEntryName(name)) {
        return EntryNameCheck::Invalid;
    }
    struct stat info {};
    const std::string path = PeersFolder() + "/" + std::string(name);
    if (lstat(path.c_str(), &info) == 0) {
        return EntryNameCheck::AlreadyExists;
    }
    // A folder this user may not search tells nothing about the name: the
    // writer keeps every file it was not allowed to replace.
    return errno == ENOENT || errno == ENOTDIR ? EntryNameCheck::Ok
                                               : EntryNameCheck::FolderUnreadable;
}

std::string SuggestConnectionName(std::string_view acName) {
    const std::string base = EntryNameSuggestionBase(acName);
    std::string candidate = base;
    for (int n = 1;; ++n) {
        const EntryNameCheck check = CheckEntryName(candidate);
        if (check == EntryNameCheck::Ok || check == EntryNameCheck::FolderUnreadable) {
            return candidate;
        }
        if (check == EntryNameCheck::Invalid || n > kMaxSuggestion) {
            return {};
        }
        candidate = base + " (" + std::to_string(n) + ")";
    }
}

int32_t WritePeersEntryFile(const std::string& folder, std::string_view name,
                            const PeersEntryFields& fields, PeersReplace replace) {
    if (!IsValidEntryName(name)) {
        return E_INVALIDARG;
    }
    const std::optional<std::string> text = BuildPeersEntry(fields, InstalledPppoePlugin());
    if (!text) {
        return E_INVALIDARG;
    }
    UniqueFd dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd.Valid()) {
        return ErrnoResult(errno);
    }
    const std::string entry(name);
    struct stat existing {};
    const bool exists = fstatat(dirFd.Get(), entry.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        return E_ACCESSDENIED;
    }
    if (exists && !MayReplace(dirFd.Get(), entry, replace)) {
        return E_ALREADY_EXISTS;
    }

    // A temporary name with a leading dot: never a valid entry, so a search
    // passes over it while it is being written.
    std::random_device random;
    std::string temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 16 && !fd.Valid(); ++attempt) {
        temporary = ".lw-" + std::to_string(random()) + ".tmp";
        fd = UniqueFd(openat(dirFd.Get(), temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kEntryMode));
        if (!fd.Valid() && errno != EEXIST) {
            return ErrnoResult(errno);
        }
    }
    if (!fd.Valid()) {
        return E_FAIL;
    }
    bool written = fchmod(fd.Get(), kEntryMode) == 0;
    if (written && geteuid() == 0) {
        const group* dip = getgrnam("dip");
        written = fchown(fd.Get(), 0, dip != nullptr ? dip->gr_gid : 0) == 0;
    }
    written = written && WriteAll(fd.Get(), *text) && fsync(fd.Get()) == 0;
    written = close(fd.Release()) == 0 && written;
    // A replacing rename puts the new file in place of the one checked
    // above; a link planted since is replaced itself, never written through.
    // A new entry never takes the place of a file that came meanwhile.
    if (!written ||
        !(exists ? renameat(dirFd.Get(), temporary.c_str(), dirFd.Get(), entry.c_str()) == 0
                 : RenameNoReplace(dirFd.Get(), temporary, entry))) {
        const int error = errno;
        unlinkat(dirFd.Get(), temporary.c_str(), 0);
        if (!written) {
            return E_FAIL;
        }
        return error == EEXIST ? E_ALREADY_EXISTS : ErrnoResult(error);
    }
    fsync(dirFd.Get());
    return S_OK;
}

int32_t CreateConnection(std::string_view acName, std::string_view name, std::string_view interface,
                         PeersReplace replace) {
    const std::string folder = PeersFolder();
    const PeersEntryFields fields{std::string(acName), std::string(interface)};
    int32_t result;
    if (geteuid() == 0 || access(folder.c_str(), W_OK) == 0) {
        result = WritePeersEntryFile(folder, name, fields, replace);
    } else if (IsSystemPeersFolder(folder)) {
        result = KtAdminOperation::WritePeersEntry(name, interface, acName, replace);
    } else {
        // The helper writes the system's folder only: an entry asked for here
        // must not land there instead.
        result = E_ACCESSDENIED;
    }
    if (!Succeeded(result)) {
        DebugOutput("CreateConnection: " + std::to_string(result) + "\n");
    }
    return result;
}

std::string DescribeCreateFailure(int32_t result) {
    if (result == E_ALREADY_EXISTS) {
        return "The connection entry was not written: an entry of that name in " + PeersFolder() +
               " was not written by Line Watchman and is left as it is. Choose another name.";
    }
    if (result == E_INVALIDARG) {
        return "The connection entry was not written: its name, the access concentrator's name "
               "or the adapter cannot be written safely into a pppd peers file.";
    }
    if (result == E_ACCESSDENIED) {
        return "The connection entry was not written: " + PeersFolder() +
               " refused it (no permission, or something other than a plain file is in the way).";
    }
    return "The connection entry was not written: the administrator's helper was not available "
           "or the write failed.";
}
