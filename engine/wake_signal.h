#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "core/unique_fd.h"

// An eventfd that wakes a thread sleeping in poll() on it together with other
// descriptors: Signal makes it readable until Clear. A worker's stop event
// cannot end such a sleep; the owner signals this before it waits for the
// worker, and clears it once the worker has ended.
class WakeSignal {
  public:
    WakeSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    bool Valid() const { return fd_.Valid(); }
    int Get() const { return fd_.Get(); }
    // False when the eventfd could not be written (it never fills up).
    bool Signal() {
        const uint64_t one = 1;
        return fd_.Valid() && write(fd_.Get(), &one, sizeof one) == sizeof one;
    }
    void Clear() {
        uint64_t count = 0;
        // Non-blocking: nothing to read when it was not signalled.
        if (fd_.Valid()) (void)!read(fd_.Get(), &count, sizeof count);
    }

  private:
    UniqueFd fd_;
};
