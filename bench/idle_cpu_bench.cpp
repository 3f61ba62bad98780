// CPU time of an idle monitoring process: the probe engine and the link state
// watcher run at their default settings on one end of a veth pair (in a
// throw-away network namespace) for a while, with an owner thread that
// handles their messages as the monitor window does. Prints the CPU time used
// and its share of one core. Needs root (namespace, capture).
//
//   idle_cpu_bench [seconds]        (default 60)

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/threads/message_port.h"
#include "engine/engine_messages.h"
#include "engine/linewatch.h"
#include "engine/net_watch_media.h"
#include "engine/netns_sandbox.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 2;
    }
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
        auto sendTo = [&port](uint32_t msg) {
            return [&port, msg](uint32_t value) { port.Send(msg, value); };
        };
        auto stopWaiter = [&port](KtThread& thread) { port.StopAndWait(thread); };
        engine.Connect({.probeSent = sendTo(WM_LW_PADI_SENT),
                        .probeSendFailed = sendTo(WM_LW_PROBE_SEND_FAILED),
                        .padoWaitExpired = sendTo(WM_LW_PADO_TIMEOUT),
                        .padoReceived = sendTo(WM_LW_PADO_RECEIVED),
                        .captureError = sendTo(WM_LW_CAPTURE_ERROR),
                        .stopWaiter = stopWaiter});
        KtNetWatchMedia watcher;
        watcher.Connect({.cableChanged = [&port](int state) { port.Post(WM_LW_CABLE, state); },
                         .stopWaiter = stopWaiter});
        const MacAddress mac = {0x02, 0x4c, 0x57, 0x40, 0x00, 0x01};
        engine.SetSourceMac(&mac);
        if (!engine.OpenCapture(ours, false)) {
            std::fprintf(stderr, "idle_cpu_bench: cannot open the capture: %s\n",
                         engine.LastCaptureError().c_str());
            return;
        }
        watcher.SetDeviceName(ours);

        const double cpuBefore = CpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        watcher.Start();
        engine.Start();
        while (std::chrono::steady_clock::now() < end) {
            port.WaitAndDrain(250);
        }
        watcher.Disconnect();
        engine.Disconnect();
        port.Drain();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = CpuSeconds() - cpuBefore;

        std::printf("idle monitoring on a veth pair, interval %d ms, PADO wait %d ms\n",
                    engine.GetProbeInterval(), engine.GetPadoWaitTime());
        std::printf("  wall time      %8.2f s\n", wall);
        std::printf("  CPU time       %8.3f s (user + system)\n", cpu);
        std::printf("  share of core  %8.3f %%  (goal < 0.5 %%)\n", 100.0 * cpu / wall);
        std::printf("  probes %d, wait expiries %d, offers %d, cable events %d\n", probes, expiries,
                    offers, cableEvents);
        exitCode = 0;
    });
    return exitCode;
}
