#include "connections/phonebook.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <random>

#include "core/debug_output.h"
#include "core/elevation/admin_operation.h"
#include "core/unique_fd.h"

namespace {

constexpr mode_t kEntryMode = 0640;
constexpr size_t kMaxEntryBytes = 64 * 1024;
constexpr int kMaxSuggestion = 8;

std::mutex folderMutex;
std::string folderOverride;

bool ReadSmallFile(int dirFd, const std::string& name, std::string& text) {
    UniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd.Valid() || fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<size_t>(info.st_size) > kMaxEntryBytes) {
        return false;
    }
    text.clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxEntryBytes) {
            return false;
        }
    }
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
        if (ReadSmallFile(dirFd.Get(), name, text) &&
            IsAimedAt(ReadPeersEntry(text), deviceType, acName)) {
            result.emplace_back(name);
        }
    }
    return PhonebookStatus::Ok;
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
    // A name that cannot be looked up (a folder this user may not search)
    // counts as taken: the user is asked before anything is overwritten.
    return lstat(path.c_str(), &info) != 0 && errno == ENOENT ? EntryNameCheck::Ok
                                                              : EntryNameCheck::AlreadyExists;
}

std::string SuggestConnectionName(std::string_view base) {
    std::string candidate(base);
    for (int n = 1;; ++n) {
        const EntryNameCheck check = CheckEntryName(candidate);
        if (check == EntryNameCheck::Ok) {
            return candidate;
        }
        if (check == EntryNameCheck::Invalid || n > kMaxSuggestion) {
            return {};
        }
        candidate = std::string(base) + " (" + std::to_string(n) + ")";
    }
}

int32_t WritePeersEntryFile(const std::string& folder, std::string_view name,
                            const PeersEntryFields& fields) {
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
    if (fstatat(dirFd.Get(), entry.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(existing.st_mode)) {
        return E_ACCESSDENIED;
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
    // rename replaces whatever name is there; a link planted since the check
    // above is replaced itself, never written through.
    if (!written || renameat(dirFd.Get(), temporary.c_str(), dirFd.Get(), entry.c_str()) != 0) {
        const int error = errno;
        unlinkat(dirFd.Get(), temporary.c_str(), 0);
        return written ? ErrnoResult(error) : E_FAIL;
    }
    fsync(dirFd.Get());
    return S_OK;
}

int32_t CreateConnection(std::string_view acName, std::string_view name,
                         std::string_view interface) {
    const std::string folder = PeersFolder();
    const PeersEntryFields fields{std::string(acName), std::string(interface)};
    int32_t result;
    if (geteuid() == 0 || access(folder.c_str(), W_OK) == 0) {
        result = WritePeersEntryFile(folder, name, fields);
    } else {
        result = KtAdminOperation::WritePeersEntry(name, interface, acName);
    }
    if (!Succeeded(result)) {
        DebugOutput("CreateConnection: " + std::to_string(result) + "\n");
    }
    return result;
}

std::string DescribeCreateFailure(int32_t result) {
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
