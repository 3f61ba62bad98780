// linewatch-cli against a station that floods the segment with offers: the
// lab's responder answers every probe with 2000 offers from MACs and
// AC-Names never seen before, while the lab's real access concentrators
// (pppoe-server) answer on the same segment and ten slow clients hold
// connections to the metrics endpoint.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "engine/ac_log_file.h"
#include "engine/monitor.h"
#include "lab/lab_child.h"
#include "lab/lab_fixture.h"
#include "test_support.h"

namespace lwlab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kFloodOffersPerProbe = 2000;
constexpr int kSlowClients = 10;
// What the probe may hold with its table full and the flood going on:
// resident memory, and descriptors (the per-AC logs' few dozen, the
// capture, the metrics server's listener and connections, the standard
// ones).
// (The table alone takes about 63 MB; a scrape of its 12 MB page builds
// some 50 MB more for a moment.)
constexpr long kMaxRssKb = 200 * 1024;
constexpr size_t kMaxDescriptors = KtAcLogFiles::kMaxOpenFiles + 48;

// A TCP connection to 127.0.0.1:port of the monitor namespace.
UniqueFd ConnectInMonitorNamespace(int port) {
    UniqueFd socket;
    {
        NetworkNamespaceScope in_monitor(kMonitorNamespace);
        if (!in_monitor.entered()) return socket;
        socket = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket ||
        connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    return socket;
}

// One scrape of /metrics: the body, and how long the whole answer took.
std::string Scrape(int port, double& seconds) {
    const auto start = Clock::now();
    std::string answer;
    UniqueFd socket = ConnectInMonitorNamespace(port);
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (socket && WriteAll(socket.Get(), request)) {
        std::vector<char> chunk(1 << 16);
        pollfd wait{socket.Get(), POLLIN, 0};
        // Never longer than 10 s, so that a starved endpoint fails the test
        // instead of hanging it.
        while (poll(&wait, 1, 10000) == 1) {
            const ssize_t n = read(socket.Get(), chunk.data(), chunk.size());
            if (n <= 0) break;
            answer.append(chunk.data(), static_cast<size_t>(n));
        }
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// A client that sends its request a byte a second, and connects again
// whenever the server cuts it off.
void SlowClient(int port, const std::atomic<bool>& stop, std::atomic<int>& reconnects) {
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    while (!stop) {
        UniqueFd socket = ConnectInMonitorNamespace(port);
        if (!socket) {
            std::this_thread::sleep_for(100ms);
            continue;
        }
        ++reconnects;
        for (size_t sent = 0; !stop && sent < request.size(); ++sent) {
            if (send(socket.Get(), &request[sent], 1, MSG_NOSIGNAL) != 1) break;
            for (int tick = 0; tick < 10 && !stop; ++tick) std::this_thread::sleep_for(100ms);
            pollfd closed{socket.Get(), POLLIN, 0};
            if (poll(&closed, 1, 0) == 1) break;  // cut off (or, late, answered)
        }
    }
}

long ReadRssKb(pid_t pid) {
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    std::smatch match;
    if (!std::regex_search(status, match, std::regex(R"(VmRSS:\s+(\d+) kB)"))) return -1;
    return std::stol(match[1].str());
}

size_t CountDescriptors(pid_t pid) {
    size_t count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The value of one series on a page, or -1 when it is not there.
double Value(const std::string& page, const std::string& series) {
    const size_t at = page.find("\n" + series + " ");
    if (at == std::string::npos) return -1;
    return std::strtod(page.c_str() + at + series.size() + 2, nullptr);
}

// linewatch_ac_up of the AC with this name, or -1 when it is not listed.
double AcUp(const std::string& page, const std::string& acName) {
    const std::string label = "ac_name=\"" + acName + "\"";
    for (size_t at = page.find(label); at != std::string::npos; at = page.find(label, at + 1)) {
        const size_t line = page.rfind('\n', at) + 1;
        const size_t end = page.find("} ", at);
        if (page.compare(line, 16, "linewatch_ac_up{") == 0 && end != std::string::npos)
            return std::strtod(page.c_str() + end + 2, nullptr);
    }
    return -1;
}

class FloodLabTest : public LabTest {
  protected:
    void TearDown() override {
        Lab({"responder-stop"});
        Lab({"ac-start", "1"});
    }
};

TEST_F(FloodLabTest, TableStopsAtItsBoundWhileRealAcsAndScrapesGoOn) {
    // In memory: thousands of per-AC logs are made and removed here.
    TempFolder logs("/dev/shm/lwflood");
    ASSERT_FALSE(logs.Path().empty());
    TempFolder folder;
    ASSERT_EQ(Lab({"responder", std::to_string(kFloodOffersPerProbe), "--flood"}), 0);
    const auto started = Clock::now();
    // A port alone: served on 127.0.0.1. Two unanswered probes make an AC
    // down, so that one offer lost in the flood does not.
    Child cli({CliPath(), "-i", std::string(kMonitorInterface), "--interval", "1", "--wait", "300",
               "--down-after", "2", "--metrics", "0", "--quiet", "--log-dir", logs.Path(),
               "--general-log", "--ac-log"},
              folder.Path() + "/cli.out");
    std::smatch match;
    std::string output;
    ASSERT_TRUE(WaitUntil(
        [&] {
            output = cli.Output();
            return std::regex_search(output, match,
                                     std::regex(R"(Metrics at http://127\.0\.0\.1:(\d+)/metrics)"));
        },
        20s))
        << output;
    const int port = std::stoi(match[1].str());
    ASSERT_EQ(ReadFile("/proc/" + std::to_string(cli.Pid()) + "/comm"), "linewatch-cli\n");

    // Memory and descriptors, sampled all along.
    std::atomic<bool> stop{false};
    std::atomic<long> maxRssKb{0};
    std::atomic<size_t> maxDescriptors{0};
    std::thread sampler([&] {
        while (!stop) {
            maxRssKb = std::max(maxRssKb.load(), ReadRssKb(cli.Pid()));
            maxDescriptors = std::max(maxDescriptors.load(), CountDescriptors(cli.Pid()));
            std::this_thread::sleep_for(100ms);
        }
    });
    std::atomic<int> reconnects{0};
    std::vector<std::thread> slowClients;
    for (int i = 0; i < kSlowClients; ++i)
        slowClients.emplace_back([&] { SlowClient(port, stop, reconnects); });
    auto finish = [&] {
        stop = true;
        for (std::thread& client : slowClients) client.join();
        sampler.join();
    };

    const std::string generalLog = logs.Path() + "/monitor.log";
    const std::string fullLine = "ERROR: " + AcTableFullText();
    const bool filled =
        WaitUntil([&] { return ReadFile(generalLog).find(fullLine) != std::string::npos; }, 30s);
    const double fillSeconds = std::chrono::duration<double>(Clock::now() - started).count();

    std::vector<double> scrapeSeconds;
    size_t pageBytes = 0;
    auto scrape = [&] {
        double seconds = 0;
        std::string page = Scrape(port, seconds);
        scrapeSeconds.push_back(seconds);
        pageBytes = std::max(pageBytes, page.size());
        return page;
    };
    const std::string acOne(kAc1Name);
    std::string page;
    bool realAcUp = false, realAcDown = false, realAcBack = false;
    if (filled) {
        // The page follows the table within a moment.
        const bool pageFull = WaitUntil(
            [&] {
                page = scrape();
                return Value(page, "linewatch_adapter_acs{interface=\"lwmon0\"}") ==
                       static_cast<double>(kMaxAcRows);
            },
            5s);
        EXPECT_TRUE(pageFull) << page.substr(0, 4000);
        realAcUp = AcUp(page, acOne) == 1;
        EXPECT_GT(Value(page, "linewatch_adapter_offers_unlisted_total{interface=\"lwmon0\"}"), 0);
        // The real AC stops answering during the flood, then comes back.
        EXPECT_EQ(Lab({"ac-stop", "1"}), 0);
        realAcDown = WaitUntil(
            [&] {
                page = scrape();
                return AcUp(page, acOne) == 0;
            },
            15s);
        EXPECT_EQ(Lab({"ac-start", "1"}), 0);
        realAcBack = WaitUntil(
            [&] {
                page = scrape();
                return AcUp(page, acOne) == 1;
            },
            15s);
    }
    const int slowConnections = reconnects;
    finish();
    Lab({"responder-stop"});
    EXPECT_EQ(cli.Stop(), 0);
    const double totalSeconds = std::chrono::duration<double>(Clock::now() - started).count();

    ASSERT_TRUE(filled) << ReadFile(generalLog).substr(0, 2000) << cli.Output().substr(0, 2000);
    EXPECT_TRUE(realAcUp) << page.substr(0, 4000);
    EXPECT_TRUE(realAcDown);
    EXPECT_TRUE(realAcBack);
    const std::string log = ReadFile(generalLog);
    EXPECT_EQ(Occurrences(log, fullLine), 1u);
    EXPECT_EQ(Occurrences(log, "AC: DOWN:  02:4C:57:00:0A:01 LabAC-One\n"), 1u);
    EXPECT_EQ(Occurrences(log, "AC: UP:  02:4C:57:00:0A:01 LabAC-One\n"), 1u);
    EXPECT_EQ(Occurrences(log, "AC: NEW:  "), kMaxAcRows);
    // The real AC's own log went on being written among thousands of others.
    const std::string acLog = ReadFile(logs.Path() + "/02-4c-57-00-0a-01.log");
    EXPECT_NE(acLog.find("PADO reply"), std::string::npos);
    EXPECT_NE(acLog.find("AC not answered"), std::string::npos);
    EXPECT_EQ(cli.Output().find("fopen_s"), std::string::npos);
    // Scrapes answer within a second; none waits for a slow client to be
    // cut off (2 s). On a machine busy with other work, serialising the
    // 12 MB page alone can take most of a second, hence the median.
    ASSERT_FALSE(scrapeSeconds.empty());
    std::sort(scrapeSeconds.begin(), scrapeSeconds.end());
    const double medianScrape = scrapeSeconds[scrapeSeconds.size() / 2];
    const double slowestScrape = scrapeSeconds.back();
    EXPECT_LT(medianScrape, 1.0);
    EXPECT_LT(slowestScrape, 2.0);
    EXPECT_GE(slowConnections, kSlowClients);
    EXPECT_GT(maxRssKb.load(), 0);
    EXPECT_LT(maxRssKb.load(), kMaxRssKb);
    EXPECT_LE(maxDescriptors.load(), kMaxDescriptors);
    std::printf(
        "[ FIGURE   ] table full (%zu rows) %.1f s after the flood began; %.0f s in all\n"
        "[ FIGURE   ] linewatch-cli at most %.1f MB resident, %zu descriptors\n"
        "[ FIGURE   ] %zu scrapes beside %d slow clients (%d connections): median %.3f s, "
        "slowest %.3f s; page %.1f MB\n",
        kMaxAcRows, fillSeconds, totalSeconds, static_cast<double>(maxRssKb.load()) / 1024.0,
        maxDescriptors.load(), scrapeSeconds.size(), kSlowClients, slowConnections, medianScrape,
        slowestScrape, static_cast<double>(pageBytes) / (1024.0 * 1024.0));
}

}  // namespace
}  // namespace lwlab
