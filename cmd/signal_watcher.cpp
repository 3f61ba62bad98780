#include "cmd/signal_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

SignalWatcher::SignalWatcher(int signalFd)
    : signalFd_(signalFd), stopFd_(eventfd(0, EFD_CLOEXEC)) {}

SignalWatcher::~SignalWatcher() {
    Stop();
}

void SignalWatcher::Start(MessagePort& port) {
    thread_ = std::thread([this, &port] {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        while (poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalled_ = true;
            port.Post(kWakeMessage);
        }
    });
}

void SignalWatcher::Stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) < 0) {
        // The eventfd cannot be full after one write; nothing to do.
    }
    thread_.join();
    close(stopFd_);
}
