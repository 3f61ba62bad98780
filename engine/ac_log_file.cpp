#include "engine/ac_log_file.h"

#include "core/file_system.h"
#include "engine/log_writer.h"
#include "engine/number_text.h"

void KtAcLogFile::WriteReplyLine(uint32_t frameLength, double rttMs) {
    WriteRaw(FormatAcReplyLine(FormatLogStamp(LocalTimeNow()), frameLength, rttMs));
}

void KtAcLogFile::WriteTimeoutLine(int32_t waitMs) {
    WriteRaw(FormatAcTimeoutLine(FormatLogStamp(LocalTimeNow()), waitMs));
}

void KtAcLogFile::WriteRaw(const std::string& line) {
    // One write per line (O_APPEND): concentrators sharing the file, and other
    // processes appending to it, never split each other's lines.
    // Write results are ignored, as for every log.
    WriteAll(fd_.Get(), line);
}

std::string FormatAcReplyLine(const std::string& stamp, uint32_t frameLength, double rttMs) {
    return stamp + "PADO reply: len " + std::to_string(frameLength) + " bytes, time " +
           FormatFixed(rttMs, 3) + " ms\n";
}

std::string FormatAcTimeoutLine(const std::string& stamp, int32_t waitMs) {
    return stamp + "Timeout (" + std::to_string(waitMs) + " ms) expired. AC not answered\n";
}

std::string AcLogFileName(const MacAddress& mac) {
    return FormatMacFileText(mac) + ".log";
}

std::shared_ptr<KtAcLogFile> KtAcLogFiles::Open(const std::string& path) {
    std::scoped_lock lock(mutex_);
    if (auto it = files_.find(path); it != files_.end()) {
        if (std::shared_ptr<KtAcLogFile> open = it->second.lock()) return open;
        files_.erase(it);
    }
    UniqueFd fd = OpenLogFile(path, true);
    if (!fd) return nullptr;
    std::shared_ptr<KtAcLogFile> file(new KtAcLogFile(std::move(fd), path));
    files_[path] = file;
    return file;
}

size_t KtAcLogFiles::OpenCount() {
    std::scoped_lock lock(mutex_);
    size_t count = 0;
    for (const auto& [path, file] : files_) count += file.expired() ? 0 : 1;
    return count;
}
