// linewatch-cli as a child process for the lab tests: its run in the monitor
// namespace, its output read line by line with the time each arrived, the
// printed tables split into rows, a tshark capture read back, and the
// fixture that gives every test empty settings stores of its own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lab/lab_child.h"
#include "lab/lab_fixture.h"
#include "test_support.h"

namespace lwlab {

using Clock = std::chrono::steady_clock;

inline constexpr std::string_view kAc1Text = "02:4C:57:00:0A:01";
inline constexpr std::string_view kAc2Text = "02:4C:57:00:0A:02";
inline constexpr std::string_view kStationText = "02:4C:57:00:05:01";
inline const std::regex kStamp(R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] )");

struct OutputLine {
    Clock::time_point at;
    std::string text;
};

struct TableRow {
    std::string state, mac, acName, service, rtt, sent, received, lost;
};
using Table = std::vector<TableRow>;

// Byte offset of the character at `column` of a UTF-8 line (its size past
// the end): the table lines up by characters, not bytes.
inline size_t ByteOfColumn(const std::string& line, size_t column) {
    size_t seen = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (seen++ == column) return i;
    }
    return line.size();
}

// Splits a printed table row at the column starts of its header line.
inline TableRow ParseRow(const std::string& header, const std::string& line) {
    static const std::vector<std::string> kColumns = {"St",           "MAC Address", "AC Name",
                                                      "Service Name", "RTT ms",      "Pkt send",
                                                      "Pkt recv",     "Pkt loss"};
    std::vector<size_t> starts;
    for (const std::string& column : kColumns) starts.push_back(header.find(column));
    std::vector<std::string> cells;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t begin = ByteOfColumn(line, starts[i]);
        const size_t end =
            i + 1 < starts.size() ? ByteOfColumn(line, starts[i + 1]) : std::string::npos;
        std::string cell = begin < line.size() ? line.substr(begin, end - begin) : std::string();
        while (!cell.empty() && cell.back() == ' ') cell.pop_back();
        cells.push_back(cell);
    }
    return {cells[0], cells[1], cells[2], cells[3], cells[4], cells[5], cells[6], cells[7]};
}

// One run of linewatch-cli in the monitor namespace. Its output is read on a
// thread of its own; tests wait for what they expect with a deadline.
class CliRun {
  public:
    explicit CliRun(std::vector<std::string> args) {
        std::vector<std::string> argv = {"ip", "netns", "exec", std::string(kMonitorNamespace),
                                         CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        Start(argv);
    }
    // Runs the program as given (no namespace), e.g. under setpriv.
    CliRun(const std::vector<std::string>& argv, bool) { Start(argv); }

    ~CliRun() { Stop(); }
    CliRun(const CliRun&) = delete;
    CliRun& operator=(const CliRun&) = delete;

    // Waits until `done` holds for the output so far, or the program ended.
    bool WaitFor(const std::function<bool(const std::vector<OutputLine>&)>& done,
                 std::chrono::milliseconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return done(lines_) || ended_; }) &&
               done(lines_);
    }
    bool WaitForLine(const std::string& text, std::chrono::milliseconds deadline) {
        return WaitFor([&](const auto& lines) { return IndexOf(lines, text) >= 0; }, deadline);
    }
    bool WaitForTables(size_t count, std::chrono::milliseconds deadline) {
        return WaitFor([&](const auto& lines) { return CountTables(lines) >= count; }, deadline);
    }

    // Ends the program with SIGTERM (SIGKILL after 10 s) and returns its exit
    // status; -1 when it did not exit normally.
    int Stop() {
        if (pid_ > 0 && !reaped_) kill(pid_, SIGTERM);
        return Reap(std::chrono::seconds(10));
    }
    // Waits for the program to end by itself.
    int Wait(std::chrono::milliseconds deadline) { return Reap(deadline); }

    std::vector<OutputLine> Lines() {
        std::scoped_lock lock(mutex_);
        return lines_;
    }
    std::string Text() {
        std::string text;
        for (const OutputLine& line : Lines()) text += line.text + "\n";
        return text;
    }
    // Log lines (stamped), stamp removed.
    std::vector<std::string> LogTexts() {
        std::vector<std::string> texts;
        for (const OutputLine& line : Lines()) {
            std::smatch match;
            if (std::regex_search(line.text, match, kStamp) && match.position(0) == 0)
                texts.push_back(match.suffix());
        }
        return texts;
    }
    size_t CountLog(const std::string& text) {
        const auto texts = LogTexts();
        return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
    }
    std::vector<Table> Tables() { return TablesOf(Lines()); }
    // For the conditions of WaitFor, which hold the lines' lock.
    static std::vector<Table> TablesOf(const std::vector<OutputLine>& lines) {
        std::vector<Table> tables;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!IsTableHeader(lines[i].text)) continue;
            Table table;
            for (size_t j = i + 1; j < lines.size() && !lines[j].text.empty(); ++j)
                table.push_back(ParseRow(lines[i].text, lines[j].text));
            tables.push_back(std::move(table));
        }
        return tables;
    }

    // The first column is as wide as its widest cell ("DOWN").
    static bool IsTableHeader(const std::string& text) {
        return std::regex_search(text, std::regex("^St +MAC Address"));
    }
    static int IndexOf(const std::vector<OutputLine>& lines, const std::string& text) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].text.find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }
    static size_t CountTables(const std::vector<OutputLine>& lines) {
        size_t count = 0;
        for (const OutputLine& line : lines) count += IsTableHeader(line.text) ? 1 : 0;
        return count;
    }

  private:
    void Start(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return;
        }
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        reader_ = std::thread([this, fd = fds[0]] { Read(fd); });
    }

    void Read(int fd) {
        std::string pending;
        char chunk[65536];
        for (;;) {
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            const auto now = Clock::now();
            pending.append(chunk, static_cast<size_t>(n));
            std::vector<OutputLine> complete;
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                complete.push_back({now, pending.substr(0, end)});
                pending.erase(0, end + 1);
            }
            {
                std::scoped_lock lock(mutex_);
                for (OutputLine& line : complete) lines_.push_back(std::move(line));
            }
            changed_.notify_all();
        }
        close(fd);
        {
            std::scoped_lock lock(mutex_);
            if (!pending.empty()) lines_.push_back({Clock::now(), pending});
            ended_ = true;
        }
        changed_.notify_all();
    }

    int Reap(std::chrono::milliseconds deadline) {
        if (pid_ <= 0) return -1;
        if (!reaped_) {
            pollfd exited{pidfd_, POLLIN, 0};
            if (pidfd_ < 0 || poll(&exited, 1, static_cast<int>(deadline.count())) <= 0) {
                ADD_FAILURE() << "linewatch-cli did not end in time; killed";
                kill(pid_, SIGKILL);
            }
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            reaped_ = true;
            if (pidfd_ >= 0) close(pidfd_);
        }
        if (reader_.joinable()) reader_.join();
        return status_;
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<OutputLine> lines_;
    bool ended_ = false;
};

inline const TableRow* FindRow(const Table& table, std::string_view mac, std::string_view name) {
    for (const TableRow& row : table)
        if (row.mac == mac && row.acName == name) return &row;
    return nullptr;
}

// Frames of a tshark capture: capture time (ns since the epoch), source MAC
// (lower case), PPPoE code.
struct CapturedFrame {
    long long ns;
    std::string source;
    int code;
};

inline std::vector<CapturedFrame> ReadCapture(const std::string& file) {
    std::string output;
    RunProgram({"tshark", "-r", file, "-T", "fields", "-e", "frame.time_epoch", "-e", "eth.src",
                "-e", "pppoe.code"},
               &output);
    std::vector<CapturedFrame> frames;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string time, source, code;
        if (!(fields >> time >> source >> code) || time.empty() || !std::isdigit(time[0])) continue;
        const size_t dot = time.find('.');
        if (dot == std::string::npos) continue;
        std::string fraction = time.substr(dot + 1);
        fraction.resize(9, '0');
        frames.push_back({std::stoll(time.substr(0, dot)) * 1000000000LL + std::stoll(fraction),
                          source, static_cast<int>(std::stol(code, nullptr, 0))});
    }
    return frames;
}

class CliLabTest : public LabTest {
  protected:
    // The program starts from the stored settings: each test gets empty
    // stores of its own (the children inherit the environment).
    void SetUp() override {
        LabTest::SetUp();
        ::setenv("LW_HKCU_DB", (stores_.Path() + "/hkcu.db").c_str(), 1);
        ::setenv("LW_HKLM_DB", (stores_.Path() + "/hklm.db").c_str(), 1);
        ::setenv("LW_USER_AUTOSTART_DIR", (stores_.Path() + "/autostart").c_str(), 1);
    }
    const std::string& Stores() const { return stores_.Path(); }

    void TearDown() override {
        // Leave the lab as the next test expects it.
        Lab({"ac-start", "1"});
        Lab({"ac-start", "2"});
        Lab({"cable-up"});
        Lab({"responder-stop"});
        Lab({"capture-stop"});
    }

  private:
    TempFolder stores_;
};

}  // namespace lwlab
