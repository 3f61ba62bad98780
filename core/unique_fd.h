#pragma once

#include <string_view>
#include <utility>

// Owns one file descriptor and closes it when it goes out of scope. Moves
// hand the descriptor over; -1 means "none".
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }
    // Gives up ownership without closing.
    int Release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and takes `fd`.
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Writes every byte, retrying after EINTR and partial writes; false on any
// other error. On a socket it sends with MSG_NOSIGNAL, so a peer that went
// away is an error result rather than a SIGPIPE.
bool WriteAll(int fd, std::string_view bytes);
