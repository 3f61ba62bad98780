#include "core/unique_fd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

bool WriteAll(int fd, std::string_view bytes) {
    bool socket = true;
    while (!bytes.empty()) {
        ssize_t n;
        if (socket) {
            n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
        } else {
            n = ::write(fd, bytes.data(), bytes.size());
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}
