#include "core/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/debug_output.h"

namespace {

bool Accessible(const std::string& path, int mode) {
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// A process killed between creating its temporary file and the rename leaves
// the temporary behind. Ones old enough that no writer can still be busy with
// them are removed after the next successful replacement.
void RemoveStaleTemporaries(const std::string& folder, const std::string& prefix) {
    constexpr time_t kStaleSeconds = 600;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    const time_t now = std::time(nullptr);
    while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && now - st.st_mtime > kStaleSeconds) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
}

}  // namespace

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

std::string ParentFolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string HomeFolder() {
    std::string home;
    const char* variable = std::getenv("HOME");
    if (variable != nullptr && variable[0] == '/') {
        home = variable;
    } else {
        struct passwd entry {};
        struct passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home;
}

std::string XdgConfigHome() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return config;
    const std::string home = HomeFolder();
    return JoinPath(home.empty() ? "/" : home, ".config");
}

bool FileExists(std::string_view path) {
    const std::string terminated(path);
    struct stat info {};
    return stat(terminated.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool CanCreateOrReplaceFile(const std::string& path) {
    struct stat st {};
    const std::string dir = ParentFolderOf(path);
    if (stat(path.c_str(), &st) == 0) {
        return S_ISREG(st.st_mode) && Accessible(path, W_OK) && Accessible(dir, W_OK | X_OK);
    }
    if (errno != ENOENT) return false;
    std::string folder = dir;
    for (;;) {
        if (stat(folder.c_str(), &st) == 0) {
            return S_ISDIR(st.st_mode) && Accessible(folder, W_OK | X_OK);
        }
        if (errno != ENOENT || folder == "/" || folder == ".") return false;
        folder = ParentFolderOf(folder);
    }
}

bool MakeDirectories(const std::string& dir, unsigned mode) {
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (errno != ENOENT) return false;
    const std::string parent = ParentFolderOf(dir);
    if (parent != dir && !MakeDirectories(parent, mode)) return false;
    if (mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    return errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SyncFolderOf(const std::string& path) {
    const UniqueFd folder(open(ParentFolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) fsync(folder.Get());
}

std::string DamagedFileName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local) == 0) stamp[0] = '\0';
    const std::string base = path + ".corrupt-" + stamp;
    std::string name = base;
    struct stat st {};
    for (int n = 1; lstat(name.c_str(), &st) == 0 && n < 1000; ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content,
                           unsigned newFileMode) {
    // lstat: the entry itself, never what a link points at. The rename below
    // replaces the entry, so a link swapped in after this check is replaced,
    // not written through.
    struct stat st {};
    const bool exists = lstat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        DebugOutput("Not replacing " + path +
                    (S_ISLNK(st.st_mode) ? ": it is a symbolic link\n" : ": it is not a file\n"));
        return false;
    }
    const size_t slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = ParentFolderOf(path) + "/." + base + ".tmp-XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        DebugOutput("Cannot create a temporary file beside " + path + ": " + std::strerror(errno) +
                    "\n");
        return false;
    }
    mode_t mode = static_cast<mode_t>(newFileMode);
    if (exists) {
        mode = st.st_mode & 07777;
        // Root writing a user's file must not take it away from the user.
        if (geteuid() == 0 && fchown(fd.Get(), st.st_uid, st.st_gid) != 0) {
            DebugOutput("Cannot keep the owner of " + path + "\n");
        }
    }
    const bool ok =
        fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), content) && fsync(fd.Get()) == 0;
    const int savedErrno = errno;
    if (close(fd.Release()) != 0 || !ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = ok ? errno : savedErrno;
        unlink(temp.c_str());
        DebugOutput("Cannot write " + path + ": " + std::strerror(error) + "\n");
        return false;
    }
    SyncFolderOf(path);
    RemoveStaleTemporaries(ParentFolderOf(path), "." + base + ".tmp-");
    return true;
}

UniqueFd OpenLogFile(const std::string& path, bool truncate) {
    // O_NONBLOCK so that a FIFO planted under the name cannot hold the open;
    // the file is emptied only once it is known to be a regular file.
    UniqueFd fd(open(path.c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!fd) return fd;
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    const int flags = fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return UniqueFd();
    if (truncate && ftruncate(fd.Get(), 0) != 0) return UniqueFd();
    return fd;
}

SmallFileRead ReadSmallFile(int fd, size_t maxBytes, std::string& bytes) {
    bytes.clear();
    SmallFileRead result;
    if (fstat(fd, &result.info) != 0) {
        result.error = errno;
        result.info = {};
        return result;
    }
    if (!S_ISREG(result.info.st_mode)) {
        result.status = SmallFileStatus::kNotRegular;
        return result;
    }
    if (static_cast<uint64_t>(result.info.st_size) > maxBytes) {
        result.status = SmallFileStatus::kTooLarge;
        return result;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result.error = errno;
            result.status = SmallFileStatus::kReadFailed;
            return result;
        }
        if (got == 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
        if (bytes.size() > maxBytes) {
            result.status = SmallFileStatus::kTooLarge;
            return result;
        }
    }
    result.status = SmallFileStatus::kOk;
    return result;
}

SmallFileRead ReadSmallFile(const std::string& path, size_t maxBytes, std::string& bytes) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        bytes.clear();
        SmallFileRead result;
        result.status = SmallFileStatus::kOpenFailed;
        result.error = errno;
        return result;
    }
    return ReadSmallFile(fd.Get(), maxBytes, bytes);
}
