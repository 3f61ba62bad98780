// linewatch-cli against the lab: real access concentrators (pppoe-server), a
// foreign station, an unpluggable cable, tshark as an independent witness of
// the wire and the PADO responder for load. The program runs as a child
// process inside the monitor namespace and is read through its output, its
// log files and its exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comma_locale.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "core/storage/storage_names.h"
#include "lab/lab_fixture.h"
#include "test_support.h"

namespace lwlab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::string_view kAc1Text = "02:4C:57:00:0A:01";
constexpr std::string_view kAc2Text = "02:4C:57:00:0A:02";
constexpr std::string_view kStationText = "02:4C:57:00:05:01";
const std::regex kStamp(R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] )");

std::string CliPath() {
#ifdef LW_CLI
    return LW_CLI;
#else
    return "linewatch-cli";
#endif
}

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
size_t ByteOfColumn(const std::string& line, size_t column) {
    size_t seen = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (seen++ == column) return i;
    }
    return line.size();
}

// Splits a printed table row at the column starts of its header line.
TableRow ParseRow(const std::string& header, const std::string& line) {
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
        return Reap(10s);
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

const TableRow* FindRow(const Table& table, std::string_view mac, std::string_view name) {
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

std::vector<CapturedFrame> ReadCapture(const std::string& file) {
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

TEST_F(CliLabTest, ListsBothConcentratorsCountsEveryProbeAndWritesTheLogs) {
    TempFolder logs;
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--cycles", "2",
                "--log-dir", logs.Path(), "--general-log", "--ac-log"});
    EXPECT_EQ(cli.Wait(20s), 0) << cli.Text();
    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 2u) << cli.Text();
    for (size_t cycle = 0; cycle < 2; ++cycle) {
        const std::string count = std::to_string(cycle + 1);
        const TableRow* one = FindRow(tables[cycle], kAc1Text, "LabAC-One");
        const TableRow* two = FindRow(tables[cycle], kAc2Text, "LabAC-Two");
        ASSERT_NE(one, nullptr) << cli.Text();
        ASSERT_NE(two, nullptr) << cli.Text();
        EXPECT_EQ(one->service, "internet");
        EXPECT_EQ(two->service, "voice");  // the last of its two Service-Name tags
        for (const TableRow* row : {one, two}) {
            EXPECT_EQ(row->state, "UP");
            EXPECT_TRUE(std::regex_match(row->rtt, std::regex(R"(\d+\.\d{3})"))) << row->rtt;
            EXPECT_EQ(row->sent, count);
            EXPECT_EQ(row->received, count);
            EXPECT_EQ(row->lost, "0");
        }
    }
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc1Text) + " LabAC-One"), 1u);
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc2Text) + " LabAC-Two"), 1u);
    const auto texts = cli.LogTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_TRUE(texts[0].starts_with("Line Watchman v1.1.7.")) << texts[0];
    EXPECT_EQ(texts[1], "Select: " + MonitorInterface());

    // The general log holds exactly the printed log lines.
    std::string printed;
    for (const OutputLine& line : cli.Lines())
        if (line.text.starts_with("[")) printed += line.text + "\n";
    EXPECT_EQ(ReadFile(logs.Path() + "/monitor.log"), printed);
    // One per-AC file per MAC, one reply line per answered probe.
    const std::string reply =
        R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] PADO reply: len \d+ bytes, time \d+\.\d{3} ms\n)";
    for (const char* file : {"/02-4c-57-00-0a-01.log", "/02-4c-57-00-0a-02.log"}) {
        const std::string text = ReadFile(logs.Path() + file);
        EXPECT_TRUE(std::regex_match(text, std::regex("(" + reply + "){2}"))) << file << ":\n"
                                                                              << text;
    }
}

TEST_F(CliLabTest, CyclesAsLongAsTheirWaitCountEveryAnswerOnceAndNeverGoDown) {
    // Each probe leaves as the wait of the one before runs out: the reports
    // of two probes interleave every cycle.
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "1000", "--cycles", "20"});
    EXPECT_EQ(cli.Wait(90s), 0) << cli.Text();
    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 20u) << cli.Text();
    int exact = 0;
    for (size_t cycle = 0; cycle < tables.size(); ++cycle) {
        for (const auto& [mac, name] :
             {std::pair{kAc1Text, "LabAC-One"}, {kAc2Text, "LabAC-Two"}}) {
            const TableRow* row = FindRow(tables[cycle], mac, name);
            ASSERT_NE(row, nullptr) << "cycle " << cycle << "\n" << cli.Text();
            EXPECT_EQ(row->state, "UP") << "cycle " << cycle;
            EXPECT_NE(row->rtt, "N/A") << "cycle " << cycle;
            EXPECT_EQ(row->lost, "0") << "cycle " << cycle;
            // The table is printed when a wait ends; the next probe may be
            // out already, its answer not yet in.
            const int sent = std::stoi(row->sent);
            const int received = std::stoi(row->received);
            EXPECT_GE(sent - received, 0) << "cycle " << cycle;
            EXPECT_LE(sent - received, 1) << "cycle " << cycle;
            exact += sent == received ? 1 : 0;
        }
    }
    std::printf("tables with sent == received for both ACs: %d of %zu rows\n", exact,
                2 * tables.size());
    for (const std::string& text : cli.LogTexts())
        EXPECT_FALSE(text.starts_with("AC: DOWN:") || text.starts_with("AC: UP:")) << text;
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc1Text) + " LabAC-One"), 1u);
    EXPECT_EQ(cli.CountLog("AC: NEW:  " + std::string(kAc2Text) + " LabAC-Two"), 1u);
}

TEST_F(CliLabTest, StartsFromTheStoredSettingsAndOptionsOverrideThemForTheRunOnly) {
    TempFolder logs;
    {
        KtRegistry user(RegistryRoot::CurrentUser);
        ASSERT_TRUE(user.Open(kOptionsKeyPath, true, true));
        user.WriteInt("LogGenWriteToFile", 1);
        user.WriteString("LogDirectory", logs.Path());
        user.WriteInt("MonPADOWaitTime", 300);
        user.WriteString("PcapDeviceName", "lw-none");
    }
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--cycles", "1"});
    EXPECT_EQ(cli.Wait(20s), 0) << cli.Text();
    // The stored general log and folder were used without options.
    EXPECT_NE(ReadFile(logs.Path() + "/monitor.log").find("AC: NEW:  "), std::string::npos);
    // The adapter named on the command line was not saved.
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kOptionsKeyPath, false, false));
    EXPECT_EQ(user.ReadString("PcapDeviceName"), "lw-none");
}

TEST_F(CliLabTest, StoppedServerShowsNaGoesDownOnceAndUpOnceWhenBack) {
    TempFolder logs;
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--log-dir",
                logs.Path(), "--ac-log"});
    ASSERT_TRUE(cli.WaitForTables(1, 10s)) << cli.Text();
    ASSERT_EQ(Lab({"ac-stop", "1"}), 0);
    const std::string down = "AC: DOWN:  " + std::string(kAc1Text) + " LabAC-One";
    const std::string up = "AC: UP:  " + std::string(kAc1Text) + " LabAC-One";
    ASSERT_TRUE(cli.WaitForLine(down, 10s)) << cli.Text();
    const size_t tablesAtDown = cli.Tables().size();
    ASSERT_TRUE(cli.WaitForTables(tablesAtDown + 2, 10s)) << cli.Text();
    {
        const Table last = cli.Tables().back();
        const TableRow* one = FindRow(last, kAc1Text, "LabAC-One");
        ASSERT_NE(one, nullptr);
        EXPECT_EQ(one->state, "DOWN");
        EXPECT_EQ(one->rtt, "N/A");
        EXPECT_NE(one->lost, "0");
        EXPECT_EQ(FindRow(last, kAc2Text, "LabAC-Two")->state, "UP");
    }
    ASSERT_EQ(Lab({"ac-start", "1"}), 0);
    ASSERT_TRUE(cli.WaitForLine(up, 10s)) << cli.Text();
    const size_t tablesAtUp = cli.Tables().size();
    ASSERT_TRUE(cli.WaitForTables(tablesAtUp + 2, 10s)) << cli.Text();
    EXPECT_EQ(cli.Stop(), 0);
    EXPECT_EQ(cli.CountLog(down), 1u) << cli.Text();
    EXPECT_EQ(cli.CountLog(up), 1u) << cli.Text();
    EXPECT_EQ(FindRow(cli.Tables().back(), kAc1Text, "LabAC-One")->state, "UP");
    // The per-AC log has a timeout line for every unanswered cycle.
    const std::string text = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    EXPECT_NE(text.find("] Timeout (300 ms) expired. AC not answered\n"), std::string::npos)
        << text;
}

// How soon the unplugged cable is reported is a printed figure (the watcher
// reads the carrier once a second); a loaded machine may take longer.
TEST_F(CliLabTest, UnpluggedCableIsReportedOnceAndPluggingInOnce) {
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300"});
    ASSERT_TRUE(cli.WaitForTables(1, 10s)) << cli.Text();
    const auto unplugged = Clock::now();
    ASSERT_EQ(Lab({"cable-down"}), 0);
    ASSERT_TRUE(cli.WaitForLine("WARNING: Network cable unplugged", 10s)) << cli.Text();
    const auto lines = cli.Lines();
    const auto seen = lines[CliRun::IndexOf(lines, "WARNING: Network cable unplugged")].at;
    const double delay = std::chrono::duration<double>(seen - unplugged).count();
    std::printf("[ FIGURE   ] cable unplugged reported after %.3f s\n", delay);
    ASSERT_EQ(Lab({"cable-up"}), 0);
    ASSERT_TRUE(cli.WaitForLine("INFO: Network cable is connected", 10s)) << cli.Text();
    // Let the watcher poll a few more times: no repeats.
    ASSERT_TRUE(cli.WaitForTables(cli.Tables().size() + 2, 10s));
    EXPECT_EQ(cli.Stop(), 0);
    EXPECT_EQ(cli.CountLog("WARNING: Network cable unplugged"), 1u) << cli.Text();
    EXPECT_EQ(cli.CountLog("INFO: Network cable is connected"), 1u) << cli.Text();
}

// Two access concentrators behind one MAC whose names differ only in their
// last character, within the 25 kept but beyond the 25th byte; the program
// runs under a locale whose decimal point is a comma.
TEST_F(CliLabTest, TwinCyrillicAcsAreTwoRowsOneGoesDownAndFiguresKeepTheirDot) {
    const CommaLocale& comma = CommaLocale::Get();
    if (!comma.ok()) GTEST_SKIP() << comma.error();
    const std::vector<std::string> names = {"Москва-Центр-БРАС-01", "Москва-Центр-БРАС-02"};
    TempFolder twins;
    std::vector<std::string> pidFiles;
    for (size_t i = 0; i < names.size(); ++i) {
        pidFiles.push_back(twins.File("twin" + std::to_string(i) + ".pid"));
        ASSERT_EQ(RunProgram({"ip", "netns", "exec", "lwac1", "pppoe-server", "-I", "lwac1e0", "-C",
                              names[i], "-S", "internet", "-X", pidFiles.back()}),
                  0);
    }
    const auto stopTwin = [&](size_t i) {
        const std::string pid = ReadFile(pidFiles[i]);
        if (!pid.empty()) kill(static_cast<pid_t>(std::stol(pid)), SIGTERM);
    };
    TempFolder logs;
    for (const char* name : {"LC_ALL", "LANG"}) ::setenv(name, CommaLocale::kName, 1);
    ::setenv("LOCPATH", comma.Folder().c_str(), 1);
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--down-after", "2",
                "--stats", "--log-dir", logs.Path(), "--general-log", "--ac-log"});
    for (const char* name : {"LC_ALL", "LANG", "LOCPATH"}) ::unsetenv(name);
    const auto bothListed = [&](const auto& lines) {
        const std::vector<Table> tables = CliRun::TablesOf(lines);
        return !tables.empty() && FindRow(tables.back(), kAc1Text, names[0]) != nullptr &&
               FindRow(tables.back(), kAc1Text, names[1]) != nullptr;
    };
    const bool listed = cli.WaitFor(bothListed, 15s);
    stopTwin(0);
    const std::string down = "AC: DOWN:  " + std::string(kAc1Text) + " " + names[0];
    const bool wentDown = listed && cli.WaitForLine(down, 15s);
    const bool more = wentDown && cli.WaitForTables(cli.Tables().size() + 2, 10s);
    stopTwin(1);
    ASSERT_TRUE(listed && wentDown && more) << cli.Text();
    EXPECT_EQ(cli.Stop(), 0);
    const Table last = cli.Tables().back();
    EXPECT_EQ(FindRow(last, kAc1Text, names[0])->state, "DOWN") << cli.Text();
    EXPECT_EQ(FindRow(last, kAc1Text, names[0])->rtt, "N/A");
    EXPECT_EQ(FindRow(last, kAc1Text, names[1])->state, "UP");
    EXPECT_EQ(FindRow(last, kAc1Text, "LabAC-One")->state, "UP");
    EXPECT_EQ(cli.CountLog(down), 1u) << cli.Text();
    EXPECT_EQ(cli.CountLog("AC: DOWN:  " + std::string(kAc1Text) + " " + names[1]), 0u);
    const std::string log = ReadFile(logs.Path() + "/monitor.log");
    EXPECT_NE(log.find("] " + down + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\\x"), std::string::npos) << log;

    // Every figure of the tables (RTT and statistics) and of the AC log has
    // its dot.
    const std::regex figure(R"(\d+[.,]\d{3}\b)");
    size_t figures = 0;
    const std::string acLog = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    for (const std::string& text : {cli.Text(), acLog}) {
        for (std::sregex_iterator it(text.begin(), text.end(), figure), end; it != end; ++it) {
            ++figures;
            EXPECT_EQ(it->str().find(','), std::string::npos) << text;
        }
    }
    EXPECT_GE(figures, 40u) << cli.Text();
    EXPECT_TRUE(std::regex_search(acLog, std::regex(R"(, time \d+\.\d{3} ms\n)"))) << acLog;
}

TEST_F(CliLabTest, ForeignPadiIsLoggedOnlyWithItsOption) {
    CliRun logging(
        {"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--log-foreign-padi"});
    CliRun quiet({"-i", MonitorInterface(), "--interval", "1", "--wait", "300"});
    ASSERT_TRUE(logging.WaitForTables(1, 10s)) << logging.Text();
    ASSERT_TRUE(quiet.WaitForTables(1, 10s)) << quiet.Text();
    // In the background: the station's discovery waits for its own time-out.
    ASSERT_EQ(Lab({"foreign-padi"}), 0);
    const std::string line = "PADI:  " + std::string(kStationText);
    ASSERT_TRUE(logging.WaitForLine(line, 10s)) << logging.Text();
    // The quiet one saw the same frame; a later cycle proves it was handled.
    ASSERT_TRUE(quiet.WaitForTables(quiet.Tables().size() + 1, 10s));
    EXPECT_EQ(logging.Stop(), 0);
    EXPECT_EQ(quiet.Stop(), 0);
    EXPECT_EQ(quiet.Text().find("PADI:  "), std::string::npos) << quiet.Text();
    // Each sees the other's probes (the same adapter MAC, another stamp): those
    // are other-instance PADIs, not foreign ones.
    EXPECT_EQ(logging.Text().find("Line Watchman PADI:  "), std::string::npos) << logging.Text();
}

TEST_F(CliLabTest, OtherInstancePadiIsLoggedOnlyWithItsOption) {
    const std::string mac = "02:4c:57:00:77:02";
    CliRun logging({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--source-mac",
                    mac, "--log-instance-padi"});
    CliRun quiet(
        {"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--source-mac", mac});
    const std::string line = "Line Watchman PADI:  02:4C:57:00:77:02";
    ASSERT_TRUE(logging.WaitForLine(line, 10s)) << logging.Text();
    ASSERT_TRUE(quiet.WaitForTables(3, 10s)) << quiet.Text();
    EXPECT_EQ(logging.Stop(), 0);
    EXPECT_EQ(quiet.Stop(), 0);
    EXPECT_EQ(quiet.Text().find("PADI:  "), std::string::npos) << quiet.Text();
    // Both still hear the concentrators: offers carrying the other's stamp are
    // dropped, their own are matched.
    for (CliRun* run : {&logging, &quiet}) {
        const Table last = run->Tables().back();
        ASSERT_NE(FindRow(last, kAc1Text, "LabAC-One"), nullptr) << run->Text();
        EXPECT_EQ(FindRow(last, kAc1Text, "LabAC-One")->lost, "0") << run->Text();
    }
}

TEST_F(CliLabTest, CustomSourceMacIsSentAndAnsweredAndRttMatchesTheWire) {
    TempFolder logs;
    const std::string capture = logs.Path() + "/wire.pcap";
    ASSERT_EQ(Lab({"capture-start", capture}), 0);
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--cycles", "3",
                "--source-mac", "02:4c:57:00:77:01", "--log-dir", logs.Path(), "--ac-log"});
    ASSERT_EQ(cli.Wait(20s), 0) << cli.Text();
    ASSERT_EQ(Lab({"capture-stop"}), 0);

    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 3u) << cli.Text();
    ASSERT_NE(FindRow(tables.back(), kAc1Text, "LabAC-One"), nullptr) << cli.Text();
    EXPECT_EQ(FindRow(tables.back(), kAc1Text, "LabAC-One")->received, "3");

    // Every probe on the wire comes from the custom MAC; each AC answers it.
    const std::vector<CapturedFrame> frames = ReadCapture(capture);
    std::vector<long long> probes;
    std::vector<double> wireRtts;  // AC 1, ms
    for (const CapturedFrame& frame : frames) {
        if (frame.code == 0x09 && frame.source == "02:4c:57:00:77:01") probes.push_back(frame.ns);
        if (frame.code == 0x09) {
            EXPECT_EQ(frame.source, "02:4c:57:00:77:01");
        }
        if (frame.code == 0x07 && frame.source == "02:4c:57:00:0a:01" && !probes.empty())
            wireRtts.push_back(static_cast<double>(frame.ns - probes.back()) / 1e6);
    }
    EXPECT_EQ(probes.size(), 3u);
    const std::string text = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    std::vector<double> loggedRtts;
    const std::regex reply(R"(PADO reply: len \d+ bytes, time (\d+\.\d{3}) ms)");
    for (std::sregex_iterator it(text.begin(), text.end(), reply), end; it != end; ++it)
        loggedRtts.push_back(std::stod((*it)[1]));
    ASSERT_EQ(loggedRtts.size(), wireRtts.size()) << text;
    for (size_t i = 0; i < loggedRtts.size(); ++i) {
        std::printf("[ FIGURE   ] RTT logged %.3f ms, on the wire %.6f ms\n", loggedRtts[i],
                    wireRtts[i]);
        EXPECT_NEAR(loggedRtts[i], wireRtts[i], 0.002);
    }
}

// The kernel's count of promiscuous users of the monitor interface.
int Promiscuity() {
    std::string output;
    if (RunProgram({"ip", "-n", std::string(kMonitorNamespace), "-d", "link", "show",
                    std::string(kMonitorInterface)},
                   &output) != 0)
        return -1;
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(R"(promiscuity (\d+))"))) return -1;
    return std::stoi(match[1]);
}

// A real network card drops offers to a MAC not its own unless the capture
// is promiscuous: a custom source MAC brings promiscuous mode with it.
TEST_F(CliLabTest, CustomSourceMacSwitchesPromiscuousModeOn) {
    ASSERT_EQ(Promiscuity(), 0);
    {
        CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300"});
        ASSERT_TRUE(cli.WaitForTables(1, 20s)) << cli.Text();
        EXPECT_EQ(Promiscuity(), 0);
    }
    CliRun cli({"-i", MonitorInterface(), "--interval", "1", "--wait", "300", "--source-mac",
                "02:4c:57:00:77:01"});
    ASSERT_TRUE(cli.WaitForTables(1, 20s)) << cli.Text();
    EXPECT_EQ(Promiscuity(), 1);
    EXPECT_EQ(cli.Stop(), 0) << cli.Text();
}

TEST_F(CliLabTest, EveryOfferOfAThousandIsListed) {
    TempFolder folder;
    const std::string capture = folder.Path() + "/wire.pcap";
    ASSERT_EQ(Lab({"responder", "1000"}), 0);
    ASSERT_EQ(Lab({"capture-start", capture}), 0);
    CliRun cli({"-i", MonitorInterface(), "--interval", "5", "--wait", "1000", "--cycles", "1"});
    ASSERT_EQ(cli.Wait(30s), 0) << cli.Text().substr(0, 2000);
    ASSERT_EQ(Lab({"capture-stop"}), 0);
    const std::vector<Table> tables = cli.Tables();
    ASSERT_EQ(tables.size(), 1u);
    std::set<std::string> listed;
    for (const TableRow& row : tables[0])
        if (row.mac.starts_with("02:00:00:")) listed.insert(row.mac);
    EXPECT_NE(FindRow(tables[0], kAc1Text, "LabAC-One"), nullptr);

    // The witness: every offer that reached the monitor's interface, as tshark
    // captured it there, must be in the table.
    std::set<std::string> onTheWire;
    for (const CapturedFrame& frame : ReadCapture(capture)) {
        if (frame.code != 0x07 || !frame.source.starts_with("02:00:00:")) continue;
        std::string mac = frame.source;
        std::transform(mac.begin(), mac.end(), mac.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        onTheWire.insert(mac);
    }
    std::printf("[ FIGURE   ] responder offers: %zu captured on the interface, %zu listed\n",
                onTheWire.size(), listed.size());
    EXPECT_EQ(listed, onTheWire);
    // The kernel's input queue (netdev_max_backlog, 1000 by default) may drop
    // a few frames of the burst before any capture sees them.
    EXPECT_GE(onTheWire.size(), 990u);

    // Benchmark: from the first to the last new-AC line the monitor printed.
    const auto lines = cli.Lines();
    std::optional<Clock::time_point> first;
    Clock::time_point last{};
    size_t count = 0;
    for (const OutputLine& line : lines) {
        if (line.text.find("AC: NEW:  02:00:00:") == std::string::npos) continue;
        if (!first) first = line.at;
        last = line.at;
        ++count;
    }
    ASSERT_TRUE(first);
    std::printf("[ FIGURE   ] %zu offers of one probe handled and printed in %.1f ms\n", count,
                std::chrono::duration<double, std::milli>(last - *first).count());
}

TEST_F(CliLabTest, HostileAcNamesReachTheTerminalAndLogsOnlyEscaped) {
    TempFolder logs;
    // ESC sequences (clear screen, window title) and a right-to-left override.
    const std::string prefix = "\x1b[2J\x1b]0;x\x07\xe2\x80\xae";
    ASSERT_EQ(Lab({"responder", "1", "--name-prefix", prefix}), 0);
    CliRun cli({"-i", MonitorInterface(), "--interval", "5", "--wait", "300", "--cycles", "1",
                "--log-dir", logs.Path(), "--general-log", "--ac-log"});
    ASSERT_EQ(cli.Wait(20s), 0) << cli.Text();
    const std::string escaped = "\\x1b[2J\\x1b]0;x\\x07\\u202e0001";
    const std::string output = cli.Text();
    const std::string generalLog = ReadFile(logs.Path() + "/monitor.log");
    for (const std::string* text : {&output, &generalLog}) {
        EXPECT_EQ(text->find('\x1b'), std::string::npos) << *text;
        EXPECT_EQ(text->find('\x07'), std::string::npos) << *text;
        EXPECT_EQ(text->find("\xe2\x80\xae"), std::string::npos) << *text;
        EXPECT_NE(text->find("AC: NEW:  02:00:00:00:00:01 " + escaped), std::string::npos) << *text;
    }
    const TableRow* row = FindRow(cli.Tables().at(0), "02:00:00:00:00:01", escaped);
    ASSERT_NE(row, nullptr) << output;
    EXPECT_EQ(row->service, "Default");
    // The per-AC log is named by the MAC alone.
    EXPECT_TRUE(std::filesystem::exists(logs.Path() + "/02-00-00-00-00-01.log"));
}

TEST_F(CliLabTest, MissingAdapterIsExplainedWithExitStatus1) {
    CliRun cli({"-i", "lwnosuch0"});
    EXPECT_EQ(cli.Wait(10s), 1);
    EXPECT_NE(cli.Text().find("no Ethernet adapter named 'lwnosuch0'"), std::string::npos)
        << cli.Text();
}

#ifdef LW_CAPTURE_HELPER_BUILD
// A copy of the built capture helper in a folder of its own, for runs as an
// ordinary user: `mode` and, when `grant`, cap_net_raw+p as the package
// installs it.
class HelperCopy {
  public:
    HelperCopy(mode_t mode, bool grant) {
        std::filesystem::permissions(folder_.Path(), std::filesystem::perms(0755));
        std::filesystem::copy_file(LW_CAPTURE_HELPER_BUILD, Path());
        chmod(Path().c_str(), mode);
        if (grant) granted_ = RunProgram({"setcap", "cap_net_raw+p", Path()}) == 0;
    }
    std::string Path() const { return folder_.File("linewatch-capture"); }
    bool Granted() const { return granted_; }

  private:
    TempFolder folder_;
    bool granted_ = false;
};

// setpriv as nobody: no groups, no capabilities of its own.
std::vector<std::string> AsNobody(const std::string& helper, std::vector<std::string> args) {
    std::vector<std::string> argv = {"ip",
                                     "netns",
                                     "exec",
                                     std::string(kMonitorNamespace),
                                     "env",
                                     "LW_CAPTURE_HELPER=" + helper,
                                     "setpriv",
                                     "--reuid=65534",
                                     "--regid=65534",
                                     "--clear-groups",
                                     "--inh-caps=-all",
                                     CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// A user who may not run the helper (its group is not theirs) is told to
// join the group.
TEST_F(CliLabTest, MissingCapturePermissionIsExplainedWithExitStatus1) {
    if (!ProgramExists("setpriv")) GTEST_SKIP() << "needs setpriv (util-linux) to drop root";
    HelperCopy helper(0750, false);
    CliRun cli(AsNobody(helper.Path(), {"-i", MonitorInterface()}), true);
    EXPECT_EQ(cli.Wait(10s), 1);
    EXPECT_NE(cli.Text().find("membership of the linewatch group"), std::string::npos)
        << cli.Text();
    EXPECT_NE(cli.Text().find("sudo usermod -aG linewatch nobody"), std::string::npos)
        << cli.Text();
}

// An ordinary user captures through the helper: the round-trip times come
// from the helper's capture timestamps and match the wire as closely as in
// process.
TEST_F(CliLabTest, ThroughTheCaptureHelperRttMatchesTheWire) {
    if (!ProgramExists("setpriv") || !ProgramExists("setcap"))
        GTEST_SKIP() << "needs setpriv and setcap";
    HelperCopy helper(0755, true);
    ASSERT_TRUE(helper.Granted());
    TempFolder logs;
    std::filesystem::permissions(logs.Path(), std::filesystem::perms(0777));
    std::filesystem::permissions(Stores(), std::filesystem::perms(0777));
    const std::string capture = logs.Path() + "/wire.pcap";
    ASSERT_EQ(Lab({"capture-start", capture}), 0);
    CliRun cli(
        AsNobody(helper.Path(), {"-i", MonitorInterface(), "--interval", "1", "--wait", "300",
                                 "--cycles", "3", "--log-dir", logs.Path(), "--ac-log"}),
        true);
    ASSERT_EQ(cli.Wait(20s), 0) << cli.Text();
    ASSERT_EQ(Lab({"capture-stop"}), 0);
    ASSERT_NE(FindRow(cli.Tables().back(), kAc1Text, "LabAC-One"), nullptr) << cli.Text();
    ASSERT_NE(FindRow(cli.Tables().back(), kAc2Text, "LabAC-Two"), nullptr) << cli.Text();

    std::vector<long long> probes;
    std::vector<double> wireRtts;  // AC 1, ms
    for (const CapturedFrame& frame : ReadCapture(capture)) {
        if (frame.code == 0x09) probes.push_back(frame.ns);
        if (frame.code == 0x07 && frame.source == "02:4c:57:00:0a:01" && !probes.empty())
            wireRtts.push_back(static_cast<double>(frame.ns - probes.back()) / 1e6);
    }
    const std::string text = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    std::vector<double> loggedRtts;
    const std::regex reply(R"(PADO reply: len \d+ bytes, time (\d+\.\d{3}) ms)");
    for (std::sregex_iterator it(text.begin(), text.end(), reply), end; it != end; ++it)
        loggedRtts.push_back(std::stod((*it)[1]));
    ASSERT_EQ(loggedRtts.size(), 3u) << text;
    ASSERT_EQ(loggedRtts.size(), wireRtts.size()) << text;
    for (size_t i = 0; i < loggedRtts.size(); ++i) {
        std::printf("[ FIGURE   ] through the helper: RTT logged %.3f ms, on the wire %.6f ms\n",
                    loggedRtts[i], wireRtts[i]);
        EXPECT_NEAR(loggedRtts[i], wireRtts[i], 0.002);
    }
}
#endif

// Option checking needs no lab and no root: bad values are refused before
// any adapter is looked at.
TEST(CliOptions, ValuesOutsideTheSettingsRangesAreRefusedWithExitStatus2) {
    const std::vector<std::vector<std::string>> refused = {
        {"--interval", "0"},
        {"--interval", "3601"},
        {"--interval", "1x"},
        {"--wait", "99"},
        {"--wait", "1001"},
        {"--down-after", "0"},
        {"--down-after", "101"},
        {"--cycles", "0"},
        {"--source-mac", "0:11:22:33:44:55"},
        {"--source-mac", "00-11-22-33-44-55"},
        {"--source-mac", "zz:11:22:33:44:55"},
        {"--interval"},
        {"--bogus"},
        {"extra"},
        {"--metrics", "localhost:9813"},
        {"--metrics", ":9813"},
        {"--metrics", "65536"},
        {"-i", "lwmon0", "-i", "lwmon0"},
    };
    for (const auto& args : refused) {
        std::vector<std::string> argv = {CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string output;
        EXPECT_EQ(RunProgram(argv, &output), 2) << args[0];
        EXPECT_NE(output.find("linewatch-cli: "), std::string::npos) << output;
        EXPECT_NE(output.find("Try 'linewatch-cli --help'"), std::string::npos) << output;
    }
}

// A group (multicast, broadcast) or all-zero source MAC is refused with a
// reason of its own; a unicast one is taken.
TEST(CliOptions, GroupAndZeroSourceMacsAreRefusedWithExitStatus2) {
    for (const char* mac :
         {"ff:ff:ff:ff:ff:ff", "01:00:5e:00:00:01", "33:33:00:00:00:01", "00:00:00:00:00:00"}) {
        std::string output;
        EXPECT_EQ(RunProgram({CliPath(), "--source-mac", mac}, &output), 2) << mac;
        EXPECT_NE(output.find("--source-mac must be a unicast address, not a group (multicast or "
                              "broadcast) or all-zero one, got '" +
                              std::string(mac) + "'"),
                  std::string::npos)
            << output;
    }
    std::string output;
    RunProgram({CliPath(), "--source-mac", "fe:ff:ff:ff:ff:ff", "-i", "lwnosuch0"}, &output);
    EXPECT_EQ(output.find("--source-mac"), std::string::npos) << output;
}

TEST(CliOptions, HelpListsEveryOptionAndExitsWith0) {
    std::string output;
    EXPECT_EQ(RunProgram({CliPath(), "--help"}, &output), 0);
    for (const char* option :
         {"--interface", "--interval", "--wait", "--down-after", "--log-dir", "--general-log",
          "--ac-log", "--log-foreign-padi", "--log-instance-padi", "--source-mac", "--promiscuous",
          "--cycles", "--metrics", "--stats", "--quiet", "--help"})
        EXPECT_NE(output.find(option), std::string::npos) << option;
    // A custom source MAC brings promiscuous mode with it, and says so.
    const size_t sourceMac = output.find("--source-mac");
    EXPECT_LT(output.find("promiscuous mode on", sourceMac), output.find("--promiscuous"));
}

}  // namespace
}  // namespace lwlab
