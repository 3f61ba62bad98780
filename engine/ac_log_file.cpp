#include "engine/ac_log_file.h"

#include <algorithm>
#include <cstdio>

#include "core/debug_output.h"
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
    files_.Write(path_, line);
}

KtAcLogFile::~KtAcLogFile() {
    files_.Forget(path_, this);
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
    auto entry = files_.find(path);
    if (entry != files_.end()) {
        if (std::shared_ptr<KtAcLogFile> held = entry->second.file.lock()) return held;
        // Its last holder is going away; the new file starts anew.
        Unlist(entry);
        files_.erase(entry);
    }
    if (recent_.size() >= kMaxOpenFiles) CloseOldest();
    UniqueFd fd = OpenLogFile(path, true);
    if (!fd) return nullptr;
    std::shared_ptr<KtAcLogFile> file(new KtAcLogFile(*this, path));
    entry = files_.emplace(path, Entry{file, file.get(), std::move(fd)}).first;
    recent_.push_front(entry);
    return file;
}

void KtAcLogFiles::Write(const std::string& path, const std::string& line) {
    std::scoped_lock lock(mutex_);
    auto entry = files_.find(path);
    if (entry == files_.end()) return;
    if (!entry->second.fd) {
        if (recent_.size() >= kMaxOpenFiles) CloseOldest();
        entry->second.fd = OpenLogFile(path, false);
        if (!entry->second.fd) {
            // The folder went away, or the process is out of descriptors:
            // this line is lost, nothing else is.
            if (!entry->second.failing) DebugOutput("Error: AcLogFile::fopen_s()\n");
            entry->second.failing = true;
            return;
        }
        entry->second.failing = false;
        recent_.push_front(entry);
    } else {
        MarkUsed(entry);
    }
    // One write per line (O_APPEND): concentrators sharing the file, and other
    // processes appending to it, never split each other's lines.
    // Write results are ignored, as for every log.
    WriteAll(entry->second.fd.Get(), line);
}

void KtAcLogFiles::Forget(const std::string& path, const KtAcLogFile* holder) {
    std::scoped_lock lock(mutex_);
    auto entry = files_.find(path);
    // A new file under the same path may have replaced this one already.
    if (entry == files_.end() || entry->second.holder != holder) return;
    Unlist(entry);
    files_.erase(entry);
}

void KtAcLogFiles::CloseOldest() {
    if (recent_.empty()) return;
    recent_.back()->second.fd.Reset();
    recent_.pop_back();
}

void KtAcLogFiles::MarkUsed(Entries::iterator entry) {
    auto at = std::find(recent_.begin(), recent_.end(), entry);
    if (at != recent_.end()) recent_.splice(recent_.begin(), recent_, at);
}

void KtAcLogFiles::Unlist(Entries::iterator entry) {
    if (entry->second.fd) recent_.remove(entry);
}

size_t KtAcLogFiles::OpenCount() {
    std::scoped_lock lock(mutex_);
    return recent_.size();
}

size_t KtAcLogFiles::FileCount() {
    std::scoped_lock lock(mutex_);
    return files_.size();
}
