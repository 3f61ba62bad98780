#include "core/debug_output.h"

#include <unistd.h>

#include <cerrno>

void DebugOutput(std::string_view text) {
    // write(2) rather than iostreams: safe from any thread, no locale, no buffering.
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}
