#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/unique_fd.h"
#include "engine/discovery_frames.h"

// The log file of one access concentrator, named by its MAC in log-file form
// ("00-1b-21-0a-4c-5e.log"). Several concentrators behind one MAC (one box
// with several AC-Names) share one file: KtAcLogFiles hands all of them the
// same object, so the file is emptied once, by the first of them, and each
// line goes out in one write, never interleaved with another.
class KtAcLogFile {
  public:
    KtAcLogFile(const KtAcLogFile&) = delete;
    KtAcLogFile& operator=(const KtAcLogFile&) = delete;

    // "[stamp] PADO reply: len 60 bytes, time 12.346 ms"
    void WriteReplyLine(uint32_t frameLength, double rttMs);
    // "[stamp] Timeout (500 ms) expired. AC not answered"
    void WriteTimeoutLine(int32_t waitMs);
    // Writes one whole line (the text must end with "\n").
    void WriteRaw(const std::string& line);

    const std::string& Path() const { return path_; }

  private:
    friend class KtAcLogFiles;
    KtAcLogFile(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    const UniqueFd fd_;
    const std::string path_;
};

// Formats the two lines of a per-AC log, stamp included, without any limit
// on their length.
std::string FormatAcReplyLine(const std::string& stamp, uint32_t frameLength, double rttMs);
std::string FormatAcTimeoutLine(const std::string& stamp, int32_t waitMs);

// File name of a concentrator's log: its MAC in log-file form plus ".log".
std::string AcLogFileName(const MacAddress& mac);

// The registry of open per-AC log files, keyed by path. Open hands out the
// file already open under that path, or creates the file anew (emptying an
// existing one) when nobody holds it; the file closes when its last holder
// lets go.
class KtAcLogFiles {
  public:
    // Null (and nothing emptied) when the file cannot be opened, a symbolic
    // link in its place included (OpenLogFile).
    std::shared_ptr<KtAcLogFile> Open(const std::string& path);
    // Number of files currently open through this registry.
    size_t OpenCount();

  private:
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<KtAcLogFile>> files_;
};
