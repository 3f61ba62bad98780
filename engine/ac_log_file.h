#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/unique_fd.h"
#include "engine/discovery_frames.h"

class KtAcLogFiles;

// The log file of one access concentrator, named by its MAC in log-file form
// ("00-1b-21-0a-4c-5e.log"). Several concentrators behind one MAC (one box
// with several AC-Names) share one file: KtAcLogFiles hands all of them the
// same object, so the file is emptied once, by the first of them, and each
// line goes out in one write, never interleaved with another. The object
// holds no descriptor of its own: its registry opens the file when a line is
// written and keeps only the most recently written ones open.
class KtAcLogFile {
  public:
    ~KtAcLogFile();
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
    KtAcLogFile(KtAcLogFiles& files, std::string path) : files_(files), path_(std::move(path)) {}

    KtAcLogFiles& files_;
    const std::string path_;
};

// Formats the two lines of a per-AC log, stamp included, without any limit
// on their length.
std::string FormatAcReplyLine(const std::string& stamp, uint32_t frameLength, double rttMs);
std::string FormatAcTimeoutLine(const std::string& stamp, int32_t waitMs);

// File name of a concentrator's log: its MAC in log-file form plus ".log".
std::string AcLogFileName(const MacAddress& mac);

// The registry of per-AC log files, keyed by path. Open hands out the file
// already held under that path, or creates the file anew (emptying an
// existing one) when nobody holds it; the file is forgotten when its last
// holder lets go. It must outlive the files it hands out.
//
// Every concentrator on the segment, made-up ones included, can have a
// file, but descriptors are few: at most kMaxOpenFiles stay open, those
// written most recently; a line for another file opens it again for
// appending and closes the one written longest ago. A file that cannot be
// opened again loses that line only; the others, and everything else the
// process does, go on.
class KtAcLogFiles {
  public:
    static constexpr size_t kMaxOpenFiles = 32;

    KtAcLogFiles() = default;
    KtAcLogFiles(const KtAcLogFiles&) = delete;
    KtAcLogFiles& operator=(const KtAcLogFiles&) = delete;

    // Null (and nothing emptied) when the file cannot be created, a
    // symbolic link in its place included (OpenLogFile).
    std::shared_ptr<KtAcLogFile> Open(const std::string& path);
    // Descriptors open at the moment (at most kMaxOpenFiles).
    size_t OpenCount();
    // Files handed out and still held.
    size_t FileCount();

  private:
    friend class KtAcLogFile;
    struct Entry {
        std::weak_ptr<KtAcLogFile> file;
        const KtAcLogFile* holder = nullptr;
        UniqueFd fd;
        // Opening it again failed; reported once until an open works.
        bool failing = false;
    };
    using Entries = std::map<std::string, Entry>;

    void Write(const std::string& path, const std::string& line);
    void Forget(const std::string& path, const KtAcLogFile* holder);
    // Makes room for one more descriptor, closing the one used longest ago.
    void CloseOldest();
    void MarkUsed(Entries::iterator entry);
    void Unlist(Entries::iterator entry);

    std::mutex mutex_;
    Entries files_;
    // Entries with an open descriptor, the most recently written first.
    std::list<Entries::iterator> recent_;
};
