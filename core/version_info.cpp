#include "core/version_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#ifndef LW_PRODUCT_VERSION
#error "LW_PRODUCT_VERSION must be defined by the build"
#endif
#ifndef LW_FILE_VERSION
#error "LW_FILE_VERSION must be defined by the build"
#endif

namespace {

// The version record carried by every executable that links this file: a
// marker, then "P=<product>" and "F=<file>" each closed by a unit separator,
// then a terminator. It sits in a section of its own and is marked used so
// that neither compiler nor linker drops it. The marker is taken from this
// very array when scanning, so the bytes exist only once in the executable.
__attribute__((used, section(".lw_version"))) const char kVersionRecord[] =
    "\x7F"
    "LWVERSIONRECORD"
    "\x01"
    "P=" LW_PRODUCT_VERSION
    "\x1F"
    "F=" LW_FILE_VERSION
    "\x1F"
    "\x7F"
    "END";

constexpr size_t kMarkerBytes = 17;
constexpr size_t kMaxVersionBytes = 64;
constexpr std::string_view kTerminator =
    "\x7F"
    "END";
constexpr size_t kMaxRecordBytes =
    kMarkerBytes + 2 * (2 + kMaxVersionBytes + 1) + kTerminator.size();
constexpr size_t kChunkBytes = 64 * 1024;
// Far above any executable of ours; keeps a stray huge file from being read whole.
constexpr uint64_t kMaxScanBytes = 1024ull * 1024 * 1024;

static_assert(sizeof kVersionRecord - 1 <= kMaxRecordBytes);

bool IsVersionCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
           c == '-' || c == '+' || c == '_' || c == ' ';
}

// Takes "<tag>=<version>\x1F" from the front of text.
bool TakeField(std::string_view& text, char tag, std::string& version) {
    if (text.size() < 2 || text[0] != tag || text[1] != '=') {
        return false;
    }
    text.remove_prefix(2);
    size_t length = 0;
    while (length < text.size() && length <= kMaxVersionBytes && IsVersionCharacter(text[length])) {
        ++length;
    }
    if (length == 0 || length > kMaxVersionBytes || length >= text.size() ||
        text[length] != '\x1F') {
        return false;
    }
    version.assign(text.data(), length);
    text.remove_prefix(length + 1);
    return true;
}

// text starts at a marker and holds at most what follows it in the file.
bool ParseRecord(std::string_view text, std::string& productVersion, std::string& fileVersion) {
    text.remove_prefix(kMarkerBytes);
    std::string product;
    std::string file;
    if (!TakeField(text, 'P', product) || !TakeField(text, 'F', file) ||
        text.substr(0, kTerminator.size()) != kTerminator) {
        return false;
    }
    productVersion = std::move(product);
    fileVersion = std::move(file);
    return true;
}

}  // namespace

void ReadVersionStrings(std::string_view path, std::string& productVersion,
                        std::string& fileVersion) {
    const std::string_view marker(kVersionRecord, kMarkerBytes);
    std::string terminated(path);
    int fd = open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return;
    }

    // A window over the file: each round appends a chunk, examines the markers
    // that start early enough for a whole record to be in view, and keeps the
    // last kMaxRecordBytes for the next round.
    std::string window;
    uint64_t scanned = 0;
    bool atEnd = false;
    while (true) {
        if (!atEnd) {
            size_t old = window.size();
            window.resize(old + kChunkBytes);
            ssize_t n = read(fd, window.data() + old, kChunkBytes);
            if (n < 0 && errno == EINTR) {
                window.resize(old);
                continue;
            }
            window.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
            scanned += n > 0 ? static_cast<uint64_t>(n) : 0;
            if (n <= 0 || scanned >= kMaxScanBytes) {
                atEnd = true;
            }
        }
        size_t limit =
            atEnd ? window.size()
                  : (window.size() > kMaxRecordBytes ? window.size() - kMaxRecordBytes : 0);
        std::string_view view(window);
        for (size_t at = view.find(marker); at != std::string_view::npos && at < limit;
             at = view.find(marker, at + 1)) {
            if (ParseRecord(view.substr(at, kMaxRecordBytes), productVersion, fileVersion)) {
                close(fd);
                return;
            }
        }
        if (atEnd) {
            break;
        }
        window.erase(0, limit);
    }
    close(fd);
}
