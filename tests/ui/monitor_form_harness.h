#pragma once

// A monitor window on a real engine with no adapter, fed the frames the
// receive thread would read and the reports the send and PADO-wait threads
// would send, on the GUI thread, as the engine tests feed a monitor.

#include <pcap/pcap.h>

#include <QCoreApplication>
#include <QPointer>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/linewatch.h"
#include "engine/net_watch_media.h"
#include "test_support.h"
#include "ui/ac_table_model.h"
#include "ui/monitor_form.h"
#include "ui_test_support.h"

struct TestOffer {
    MacAddress mac;
    std::string acName;
    std::string service;
    long rttMicroseconds;
};

inline constexpr MacAddress kFormOurMac = {0x02, 0x4c, 0x57, 0x20, 0x00, 0x01};

class MonitorFormHarness {
  public:
    // The program folder holds a portable INI, so no settings store of the
    // machine is read or written.
    explicit MonitorFormHarness(const std::string& iniOptions = {}) {
        TestApplication();
        std::ofstream(folder.File("linewatch.ini")) << "[Options]\n" << iniOptions;
        form = new CMonitorForm({.engine = &engine,
                                 .media = &media,
                                 .programFolder = folder.Path(),
                                 .listAdapters = [] { return std::vector<AdapterEntry>{}; }});
        engine.SetSourceMac(&kFormOurMac);
    }
    ~MonitorFormHarness() { delete form; }

    // One probe cycle: the probe leaves, the offers arrive after their RTT,
    // the wait runs out. beforeLastOffer runs just before the last offer is
    // read (benchmarks start their clock there).
    void Cycle(const std::vector<TestOffer>& offers,
               const std::function<void()>& beforeLastOffer = {}) {
        const uint32_t probe = engine.RecordProbeSent(now_);
        form->GetMonitor().Port().Send(WM_LW_PADI_SENT, probe);
        const ProbeFrame sent = engine.GetProbeFrame();
        Feed(sent.data(), sent.size(), 10);
        for (const TestOffer& offer : offers) {
            if (beforeLastOffer && &offer == &offers.back()) beforeLastOffer();
            const std::vector<uint8_t> pado = BuildPado(
                kFormOurMac, offer.mac, ProbeHostUniq(sent.data()), offer.acName, offer.service);
            Feed(pado.data(), pado.size(), 10 + offer.rttMicroseconds);
        }
        engine.EndProbeWait(probe);
        form->GetMonitor().Port().Send(WM_LW_PADO_TIMEOUT, probe);
        now_ += 1000000;
    }

    QString Cell(int row, int column) const {
        return form->AcModel()->index(row, column).data().toString();
    }

    TempFolder folder{"lwform"};
    KtLinewatch engine;
    KtNetWatchMedia media;
    QPointer<CMonitorForm> form;

  private:
    void Feed(const uint8_t* data, size_t length, long offsetMicroseconds) {
        engine.HandleFrame(CaptureHeader(now_ + offsetMicroseconds, length), data);
    }

    long now_ = 1000L * 1000000;
};

// Runs the GUI thread's events until done() or a generous deadline.
inline bool ProcessEventsUntil(const std::function<bool()>& done,
                               std::chrono::seconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}
