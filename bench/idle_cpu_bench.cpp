// CPU time and wake-ups of idle monitoring, on one end of a veth pair in a
// throw-away network namespace, at the default settings (a probe every 30 s):
//  1. in this process, the probe engine and the link state watcher with an
//     owner thread that handles their messages as the monitor window does;
//  2. a linewatch-cli process watching the same interface.
// Prints, for each, the CPU time used, its share of one core and the
// wake-ups per second (voluntary and involuntary context switches of all
// its threads). Needs root (namespace, capture).
//
//   idle_cpu_bench [seconds] [path of linewatch-cli]
//     (default 60 s; linewatch-cli next to this build's bench folder)

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/threads/message_port.h"
#include "engine/engine_messages.h"
#include "engine/linewatch.h"
#include "engine/net_watch_media.h"
#include "engine/netns_sandbox.h"
#include "process_cpu.h"

namespace {

// Stands in for the monitor as the owner of the engine and the link watcher:
// the engine's reports are sent to its port, the cable changes posted, and
// the threads stopped through the port.
class PortOwner final : public LinewatchOwner, public LinkWatchOwner {
  public:
    explicit PortOwner(MessagePort& port) : port_(port) {}
    void ProbeSent(uint32_t probe) override { port_.Send(WM_LW_PADI_SENT, probe); }
    void ProbeSendFailed(uint32_t probe) override { port_.Send(WM_LW_PROBE_SEND_FAILED, probe); }
    void PadoWaitExpired(uint32_t probe) override { port_.Send(WM_LW_PADO_TIMEOUT, probe); }
    void PadoReceived(uint32_t probe) override { port_.Send(WM_LW_PADO_RECEIVED, probe); }
    void CaptureError(uint32_t reason) override { port_.Send(WM_LW_CAPTURE_ERROR, reason); }
    void StopWorker(KtThread& worker) override { port_.StopAndWait(worker); }
    void CableChanged(int state) override {
        port_.Post(WM_LW_CABLE, static_cast<uintptr_t>(state));
    }
    void AdapterReturned() override {}
    void StopWatcher(KtThread& watcher) override { port_.StopAndWait(watcher); }

  private:
    MessagePort& port_;
};

// Context switches of every thread of a process: each is one wake-up.
long long ContextSwitches(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    long long total = 0;
    DIR* folder = opendir(tasks.c_str());
    if (folder == nullptr) return 0;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream status(tasks + "/" + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:"))
                total += std::stoll(line.substr(line.find(':') + 1));
        }
    }
    closedir(folder);
    return total;
}

struct IdleFigures {
    double wall = 0.0;
    double cpu = 0.0;
    long long switches = 0;
};

// Samples `pid` across `body` (which lets the idle window pass).
template <class Body>
IdleFigures MeasureIdle(pid_t pid, Body body) {
    const double cpuBefore = CpuSeconds(pid);
    const long long switchesBefore = ContextSwitches(pid);
    const auto start = std::chrono::steady_clock::now();
    body();
    IdleFigures figures;
    figures.switches = ContextSwitches(pid) - switchesBefore;
    figures.cpu = CpuSeconds(pid) - cpuBefore;
    figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return figures;
}

void PrintFigures(const IdleFigures& figures) {
    std::printf("  wall time      %8.2f s\n", figures.wall);
    std::printf("  CPU time       %8.3f s (user + system)\n", figures.cpu);
    std::printf("  share of core  %8.3f %%  (goal < 0.5 %%)\n", 100.0 * figures.cpu / figures.wall);
    std::printf("  wake-ups       %8.2f per second (goal < 3; %lld context switches)\n",
                static_cast<double>(figures.switches) / figures.wall, figures.switches);
}

std::string DefaultCliPath() {
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "linewatch-cli";
    std::string path(self, static_cast<size_t>(length));
    path.resize(path.rfind('/'));
    return path + "/../cmd/linewatch-cli";
}

// Runs linewatch-cli on `device` inside the namespace, with its settings in
// a throw-away home, and measures it once it has started.
bool MeasureCli(const std::string& cli, const std::string& netns, const std::string& device,
                int seconds) {
    char home[] = "/tmp/lw-idle-bench-XXXXXX";
    if (mkdtemp(home) == nullptr) return false;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setenv("HOME", home, 1);
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CONFIG_HOME");
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        execlp("ip", "ip", "netns", "exec", netns.c_str(), cli.c_str(), "-i", device.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    // Past its start and first probe.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    bool alive = waitpid(child, nullptr, WNOHANG) == 0;
    if (alive) {
        const IdleFigures figures =
            MeasureIdle(child, [&] { std::this_thread::sleep_for(std::chrono::seconds(seconds)); });
        alive = waitpid(child, nullptr, WNOHANG) == 0;
        std::printf("idle linewatch-cli -i %s (default settings, pid %d)\n", device.c_str(),
                    static_cast<int>(child));
        PrintFigures(figures);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    if (!alive) std::fprintf(stderr, "idle_cpu_bench: %s ended early\n", cli.c_str());
    return alive;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds] [linewatch-cli]\n", argv[0]);
        return 2;
    }
    const std::string cli = argc > 2 ? argv[2] : DefaultCliPath();
    const std::string reason = NetnsSandbox::SkipReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "idle_cpu_bench: %s\n", reason.c_str());
        return 1;
    }
    NetnsSandbox sandbox;
    const std::string ours = "lwa" + sandbox.Tag();
    const std::string peer = "lwb" + sandbox.Tag();
    if (!sandbox.ok() ||
        !sandbox.AddVethPair(ours, "02:4c:57:40:00:01", peer, "02:4c:57:40:0a:01")) {
        std::fprintf(stderr, "idle_cpu_bench: cannot build the veth pair\n");
        return 1;
    }
    int exitCode = 1;
    sandbox.RunInside([&] {
        int probes = 0, expiries = 0, offers = 0, cableEvents = 0;
        KtLinewatch engine;
        MessagePort port([&](uint32_t msg, uintptr_t, intptr_t) {
            if (msg == WM_LW_PADI_SENT) ++probes;
            if (msg == WM_LW_PADO_RECEIVED) offers += static_cast<int>(engine.TakeReplies().size());
            if (msg == WM_LW_PADO_TIMEOUT) ++expiries;
            if (msg == WM_LW_CABLE) ++cableEvents;
        });
        // Stands in for the monitor window: the reports send or post to its port.
        PortOwner owner(port);
        engine.Connect(owner);
        KtNetWatchMedia watcher;
        watcher.Connect(owner);
        const MacAddress mac = {0x02, 0x4c, 0x57, 0x40, 0x00, 0x01};
        engine.SetSourceMac(&mac);
        if (!engine.OpenCapture(ours, false)) {
            std::fprintf(stderr, "idle_cpu_bench: cannot open the capture: %s\n",
                         engine.LastCaptureError().c_str());
            return;
        }
        watcher.SetDeviceName(ours);

        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        watcher.Start();
        engine.Start();
        // Sampled while the threads run: the counts of a thread that ended
        // are gone with it.
        const IdleFigures figures = MeasureIdle(getpid(), [&] {
            // Asleep until a message comes or the window is over.
            for (auto now = std::chrono::steady_clock::now(); now < end;
                 now = std::chrono::steady_clock::now()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
                port.WaitAndDrain(static_cast<uint32_t>(left.count()));
            }
        });
        watcher.Disconnect();
        engine.Disconnect();
        port.Drain();
        std::printf("idle monitoring on a veth pair, interval %d ms, PADO wait %d ms\n",
                    engine.GetProbeInterval(), engine.GetPadoWaitTime());
        PrintFigures(figures);
        std::printf("  probes %d, wait expiries %d, offers %d, cable events %d\n", probes, expiries,
                    offers, cableEvents);
        exitCode = 0;
    });
    if (exitCode == 0 && !MeasureCli(cli, sandbox.name(), ours, seconds)) exitCode = 1;
    return exitCode;
}
