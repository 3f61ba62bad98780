#include "engine/log_writer.h"

#include <cstdio>
#include <filesystem>

#include "core/file_system.h"
#include "core/program_paths.h"

std::string FormatLogStamp(const std::tm& t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "[%04d.%02d.%02d %02d:%02d:%02d] ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

std::tm LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::string ResolvePath(std::string_view path, std::string_view baseFolder) {
    // An empty path is relative like any other: it names the base folder.
    std::filesystem::path result(ExpandEnvironmentText(path));
    if (result.is_relative()) result = std::filesystem::path(JoinPath(baseFolder, result.string()));
    std::string text = result.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    // Logs never go to the root folder ("/", "/..", a base folder that is
    // unknown): no folder at all, so that no log opens.
    if (text == "/") return {};
    return text;
}

KtLogWriter::~KtLogWriter() {
    CloseGeneralLog();
}

void KtLogWriter::WriteLine(std::initializer_list<std::string_view> pieces) {
    WriteLine(std::span<const std::string_view>(pieces.begin(), pieces.size()));
}

void KtLogWriter::WriteLine(std::span<const std::string_view> pieces) {
    std::string line = FormatLogStamp(LocalTimeNow());
    for (std::string_view piece : pieces) line.append(piece);
    line.push_back('\n');

    {
        std::scoped_lock lock(mutex_);
        // One write per line: with O_APPEND, lines of other processes that
        // share the file land between ours, never inside them.
        if (fd_) WriteAll(fd_.Get(), line);
        line.insert(line.size() - 1, 1, '\r');
        boxLines_.push_back(std::move(line));
    }
    if (boxListener_ != nullptr) boxListener_->BoxLinesQueued();
}

std::vector<std::string> KtLogWriter::TakeBoxLines() {
    std::scoped_lock lock(mutex_);
    std::vector<std::string> lines;
    lines.swap(boxLines_);
    return lines;
}

bool KtLogWriter::OpenGeneralLog(const std::string& folder) {
    const std::string path = JoinPath(folder, kGeneralLogFileName);
    UniqueFd fd = folder.empty() ? UniqueFd() : OpenLogFile(path, false);
    std::scoped_lock lock(mutex_);
    path_ = fd ? path : std::string();
    fd_ = std::move(fd);
    return fd_.Valid();
}

void KtLogWriter::CloseGeneralLog() {
    std::scoped_lock lock(mutex_);
    fd_.Reset();
    path_.clear();
}

bool KtLogWriter::IsGeneralLogOpen() {
    std::scoped_lock lock(mutex_);
    return fd_.Valid();
}

std::string KtLogWriter::GeneralLogPath() {
    std::scoped_lock lock(mutex_);
    return path_;
}
