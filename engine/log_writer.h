#pragma once

#include <ctime>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/unique_fd.h"

constexpr std::string_view kGeneralLogFileName = "monitor.log";

// "[YYYY.MM.DD hh:mm:ss] " for the given local time.
std::string FormatLogStamp(const std::tm& localTime);
// The local time now, as the stamp of a log line shows it.
std::tm LocalTimeNow();

// Resolves a log folder text: %VAR% references are expanded from the
// environment (APPDATA, when unset, stands for the XDG data folder; an unknown
// variable is left as written), backslashes become slashes, a relative path
// (the empty one included) is taken below baseFolder, and "." and ".."
// components are removed. A result that would be the root folder is empty:
// no log is ever written to "/".
std::string ResolvePath(std::string_view path, std::string_view baseFolder);

// Told when a line was queued for the log box.
class LogBoxListener {
  public:
    // Called after each line is queued for the box, on the writing thread and
    // outside the writer's lock; the owner takes the lines with TakeBoxLines.
    virtual void BoxLinesQueued() = 0;

  protected:
    ~LogBoxListener() = default;
};

// The single entry for every line the user is meant to read: it stamps the
// line with the local time, hands it to the log box and, while the general
// log is open, appends it to "monitor.log".
//
// Any thread may write (the receive thread writes the PADI lines). A line is
// built whole before it is written, so lines of different threads never
// interleave, and it reaches the file and the box queue under one lock, so
// both see the same order. The box is fed on the owner's thread: the writer
// queues lines and tells its box listener (outside its lock); the owner
// then takes them with TakeBoxLines.
//
// Lines are never cut: the pieces are written whole whatever their length,
// so that a long (escaped) network name loses nothing.
class KtLogWriter {
  public:
    // `boxListener` (none: lines only wait in the queue) must outlive the writer.
    explicit KtLogWriter(LogBoxListener* boxListener = nullptr) : boxListener_(boxListener) {}
    ~KtLogWriter();
    KtLogWriter(const KtLogWriter&) = delete;
    KtLogWriter& operator=(const KtLogWriter&) = delete;

    // The first piece follows the time stamp; the line ends after the last.
    void WriteLine(std::initializer_list<std::string_view> pieces);
    void WriteLine(std::span<const std::string_view> pieces);

    // Lines queued for the log box, oldest first, each ending in "\r\n".
    std::vector<std::string> TakeBoxLines();

    // Opens "monitor.log" in the (resolved) folder for appending; other
    // processes may read and append to it at the same time. Closes an open one
    // first. False (with a debug text of the caller's choice) when it cannot
    // be opened, a symbolic link in its place included (OpenLogFile), and for
    // an empty folder.
    bool OpenGeneralLog(const std::string& folder);
    void CloseGeneralLog();
    bool IsGeneralLogOpen();
    // Path of the open general log, empty when closed.
    std::string GeneralLogPath();

  private:
    std::mutex mutex_;
    UniqueFd fd_;
    std::string path_;
    std::vector<std::string> boxLines_;
    LogBoxListener* const boxListener_;
};
