// One linewatch-cli process watching several veth segments with 100
// concentrators each (pado_responder on the far ends), probing every second
// and scraped for metrics every second, as a headless probe on a busy site
// runs. For 1, 2, 4 and 8 segments it prints the CPU share of the process,
// its memory, and whether every offer was counted: each segment's table
// holds all 100 concentrators and none of them lost a probe (the
// 8 MiB capture ring of each adapter is most of its memory). Needs root.
//
//   multi_adapter_bench [seconds per step] [linewatch-cli] [pado_responder]
//     (default 10 s; the programs of this build)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/netns_sandbox.h"
#include "process_cpu.h"

namespace {

constexpr int kOffersPerSegment = 100;
constexpr int kMaxSegments = 8;

// A field of /proc/PID/status in kB (VmRSS, VmHWM).
long StatusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Runs argv in the background with its output to `output`; gives its pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& output) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen(output.c_str(), "w", stdout) == nullptr) _exit(126);
        dup2(STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void End(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string Scrape(const std::string& netns, const std::string& address) {
    const std::string file = "/tmp/lw-multi-bench-page";
    const std::string command =
        "ip netns exec " + netns + " curl -s -o " + file + " http://" + address + "/metrics";
    if (std::system(command.c_str()) != 0) return {};
    return ReadAll(file);
}

// Sum and count of the samples of one metric on a page.
struct Samples {
    double sum = 0.0;
    long count = 0;
    double min = 1e300;
};
Samples Collect(const std::string& page, const std::string& name) {
    Samples samples;
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.starts_with(name + "{")) continue;
        const double value = std::stod(line.substr(line.rfind(' ') + 1));
        samples.sum += value;
        samples.min = std::min(samples.min, value);
        ++samples.count;
    }
    return samples;
}

std::string SiblingPath(const std::string& relative) {
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, static_cast<size_t>(std::max<ssize_t>(length, 0)));
    return path.substr(0, path.rfind('/')) + "/" + relative;
}

bool RunStep(NetnsSandbox& sandbox, int segments, int seconds, const std::string& cli) {
    char home[] = "/tmp/lw-multi-bench-XXXXXX";
    if (mkdtemp(home) == nullptr) return false;
    std::vector<std::string> argv = {"env",       "HOME=" + std::string(home),
                                     "ip",        "netns",
                                     "exec",      sandbox.name(),
                                     cli,         "--interval",
                                     "1",         "--wait",
                                     "500",       "--quiet",
                                     "--metrics", "127.0.0.1:0"};
    for (int i = 0; i < segments; ++i) {
        argv.push_back("-i");
        argv.push_back("lwa" + std::to_string(i) + sandbox.Tag());
    }
    const std::string output = std::string(home) + "/cli.out";
    const pid_t child = Spawn(argv, output);
    std::smatch match;
    std::string text;
    const std::regex address(R"(Metrics at http://(127\.0\.0\.1:\d+)/metrics)");
    for (int i = 0; i < 100 && !std::regex_search(text, match, address); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        text = ReadAll(output);
    }
    if (match.empty()) {
        std::fprintf(stderr, "multi_adapter_bench: linewatch-cli did not start:\n%s\n",
                     text.c_str());
        End(child);
        return false;
    }
    const std::string target = match[1];
    // Past the start and the first cycles, when every concentrator is listed.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    // `ip netns exec` runs the program in its own process: the pid is it.
    const double cpuBefore = CpuSeconds(child);
    const auto start = std::chrono::steady_clock::now();
    int scrapes = 0;
    std::string page;
    for (int s = 0; s < seconds; ++s) {
        const auto next = start + std::chrono::seconds(s + 1);
        page = Scrape(sandbox.name(), target);
        if (!page.empty()) ++scrapes;
        std::this_thread::sleep_until(next);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds(child) - cpuBefore;
    const long rss = StatusKb(child, "VmRSS");
    const long peak = StatusKb(child, "VmHWM");
    End(child);

    const Samples acs = Collect(page, "linewatch_adapter_acs");
    const Samples lost = Collect(page, "linewatch_ac_probes_lost_total");
    const Samples answered = Collect(page, "linewatch_ac_probes_answered_total");
    const Samples sent = Collect(page, "linewatch_ac_probes_sent_total");
    // Sent may run one probe ahead of answered: the cycle in flight at the
    // scrape is neither answered nor lost yet.
    const bool everyOffer = acs.count == segments && acs.sum == segments * kOffersPerSegment &&
                            lost.sum == 0 && sent.sum - answered.sum <= acs.sum;
    std::printf(
        "%2d segments  %5.0f ACs  CPU %6.2f %% of a core  RSS %6.1f MiB (peak %6.1f)  "
        "%d scrapes of %zu kB  answered %.0f of %.0f sent, lost %.0f  %s\n",
        segments, acs.sum, 100.0 * cpu / wall, static_cast<double>(rss) / 1024.0,
        static_cast<double>(peak) / 1024.0, scrapes, page.size() / 1024, answered.sum, sent.sum,
        lost.sum, everyOffer ? "every offer counted" : "OFFERS MISSING");
    std::string remove = "rm -rf '" + std::string(home) + "'";
    (void)!std::system(remove.c_str());
    return everyOffer;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::string cli = argc > 2 ? argv[2] : SiblingPath("../cmd/linewatch-cli");
    const std::string responder = argc > 3 ? argv[3] : SiblingPath("../tests/pado_responder");
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds] [linewatch-cli] [pado_responder]\n", argv[0]);
        return 2;
    }
    const std::string reason = NetnsSandbox::SkipReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "multi_adapter_bench: %s\n", reason.c_str());
        return 1;
    }
    NetnsSandbox sandbox;
    std::vector<pid_t> responders;
    // The metrics are served and scraped on the namespace's own loopback.
    if (sandbox.ok() && !sandbox.Ip("link set lo up")) return 1;
    for (int i = 0; i < kMaxSegments && sandbox.ok(); ++i) {
        const std::string ours = "lwa" + std::to_string(i) + sandbox.Tag();
        const std::string peer = "lwb" + std::to_string(i) + sandbox.Tag();
        char ourMac[18], peerMac[18];
        std::snprintf(ourMac, sizeof ourMac, "02:4c:57:41:00:%02x", i + 1);
        std::snprintf(peerMac, sizeof peerMac, "02:4c:57:41:0a:%02x", i + 1);
        if (!sandbox.AddVethPair(ours, ourMac, peer, peerMac)) {
            std::fprintf(stderr, "multi_adapter_bench: cannot build veth pair %d\n", i);
            return 1;
        }
        responders.push_back(Spawn({"ip", "netns", "exec", sandbox.name(), responder, "-i", peer,
                                    "-n", std::to_string(kOffersPerSegment)},
                                   "/dev/null"));
    }
    std::printf(
        "linewatch-cli probing every second (wait 500 ms), scraped every second, "
        "%d offers per segment, %d s per step\n",
        kOffersPerSegment, seconds);
    bool ok = sandbox.ok();
    for (int segments : {1, 2, 4, 8})
        if (ok) ok = RunStep(sandbox, segments, seconds, cli);
    for (pid_t pid : responders) End(pid);
    return ok ? 0 : 1;
}
