#include "setupaid/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "setupaid/setupaid.h"

namespace setupaid {
namespace {

FileStatus StatusOfErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return FileStatus::kMissing;
        case EACCES:
        case EPERM:
        case EROFS:
            return FileStatus::kDenied;
        default:
            return FileStatus::kFailed;
    }
}

// A failure while writing or reading an opened file: a missing path there
// is a plain failure, not an absent file.
FileStatus FailureOf(int error) {
    const FileStatus status = StatusOfErrno(error);
    return status == FileStatus::kMissing ? FileStatus::kFailed : status;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace

int ResultCodeOf(FileStatus status) {
    switch (status) {
        case FileStatus::kOk:
            return SETUPAID_DONE;
        case FileStatus::kDenied:
            return SETUPAID_ACCESS_DENIED;
        default:
            return SETUPAID_FAILED;
    }
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

FileStatus ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return StatusOfErrno(errno);
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            const FileStatus status = FailureOf(errno);
            close(fd);
            return status;
        }
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return FileStatus::kOk;
}

FileStatus MakeFolders(const std::string& folder, mode_t mode) {
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? FileStatus::kOk : FileStatus::kFailed;
    }
    const std::string parent = FolderOf(folder);
    if (parent != folder) {
        const FileStatus status = MakeFolders(parent, mode);
        if (status != FileStatus::kOk) return status;
    }
    if (mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) return FailureOf(errno);
    return FileStatus::kOk;
}

PendingFile::~PendingFile() {
    if (!temporary_.empty()) unlink(temporary_.c_str());
}

FileStatus PendingFile::Write(const std::string& path, std::string_view content,
                              mode_t newFileMode) {
    target_ = path;
    mode_t mode = newFileMode;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) mode = info.st_mode & 07777;

    std::string pattern = FolderOf(path) + "/.setupaid-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return FailureOf(errno);
    temporary_ = pattern;
    const bool written = WriteAll(fd, content) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    const int error = errno;
    if (close(fd) != 0 || !written) {
        return FailureOf(error);
    }
    return FileStatus::kOk;
}

FileStatus PendingFile::Commit() {
    if (temporary_.empty()) return FileStatus::kFailed;
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        return FailureOf(errno);
    }
    temporary_.clear();
    // The rename itself is made durable by syncing the folder.
    const int folder = open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return FileStatus::kOk;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

FileStatus ReplaceFile(const std::string& path, std::string_view content, mode_t newFileMode) {
    PendingFile pending;
    const FileStatus status = pending.Write(path, content, newFileMode);
    if (status != FileStatus::kOk) return status;
    return pending.Commit();
}

}  // namespace setupaid
