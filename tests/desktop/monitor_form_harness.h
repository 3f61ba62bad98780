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

#include "desktop/monitor_form.h"
#include "engine/engine_test_support.h"
#include "engine/linewatch.h"
#include "test_support.h"
#include "ui/ac_table_model.h"
#include "ui/ui_test_support.h"

struct TestOffer {
    MacAddress mac;
    std::string acName;
    std::string service;
    long rttMicroseconds;
};

inline constexpr MacAddress kFormOurMac = {0x02, 0x4c, 0x57, 0x20, 0x00, 0x01};

// A tray icon that records what the window asks of it; tests emit its
// signals as the tray host would.
class RecordingTray final : public TrayIcon {
  public:
    using TrayIcon::TrayIcon;
    bool IsAvailable() const override { return available; }
    void Show() override { shown = true; }
    void Hide() override { shown = false; }
    void SetState(bool isUp) override { up = isUp; }
    void ShowMessage(std::string_view, BalloonIcon, std::string_view) override {}
    void Click() { emit Clicked(); }
    void Choose(int id) { emit CommandChosen(id); }

    bool available = true;
    bool shown = false;
    bool up = false;
};

struct RecordedNotice {
    std::string title;
    BalloonIcon icon;
    std::string text;
};

class RecordingNotifier final : public DesktopNotifier {
  public:
    void Notify(std::string_view title, BalloonIcon icon, std::string_view text) override {
        notices.push_back({std::string(title), icon, std::string(text)});
    }
    std::vector<RecordedNotice> notices;
};

// "play FILE", "loop FILE" or "stop", in order.
class RecordingSoundPlayer final : public SoundPlayer {
  public:
    void Play(const std::string& file, bool loop) override {
        calls.push_back((loop ? "loop " : "play ") + file);
    }
    void Stop() override { calls.push_back("stop"); }
    std::vector<std::string> calls;
};

// The desktop's parts as recorders, not shown or played; the last of each
// made is kept.
class RecordingDesktopParts final : public MonitorDesktopParts {
  public:
    TrayIcon* MakeTrayIcon(QObject* parent) override {
        tray = new RecordingTray(parent);
        return tray;
    }
    std::unique_ptr<DesktopNotifier> MakeNotifier(TrayIcon*) override {
        auto notifier = std::make_unique<RecordingNotifier>();
        notices = &notifier->notices;
        return notifier;
    }
    std::unique_ptr<SoundPlayer> MakeSoundPlayer() override {
        auto player = std::make_unique<RecordingSoundPlayer>();
        sounds = &player->calls;
        return player;
    }

    RecordingTray* tray = nullptr;
    std::vector<RecordedNotice>* notices = nullptr;
    std::vector<std::string>* sounds = nullptr;
};

// A machine without Ethernet adapters.
class NoAdapters final : public AdapterLister {
  public:
    std::vector<AdapterEntry> ListAdapters() override { return {}; }
};

class MonitorFormHarness {
  public:
    // The program folder holds a portable INI, so no settings store of the
    // machine is read or written. The connection dialogs are the desktop's
    // unless connections (kept by the caller) answers them.
    explicit MonitorFormHarness(const std::string& iniOptions = {},
                                MonitorConnectionUi* connections = nullptr) {
        TestApplication();
        std::ofstream(folder.File("linewatch.ini")) << "[Options]\n" << iniOptions;
        MonitorFormSetup setup;
        setup.programFolder = folder.Path();
        setup.adapters = &noAdapters_;
        setup.desktopParts = &parts_;
        setup.connections = connections;
        form = new CMonitorForm(setup);
        tray = parts_.tray;
        notices = parts_.notices;
        sounds = parts_.sounds;
        Engine().SetSourceMac(&kFormOurMac);
    }
    ~MonitorFormHarness() { delete form; }

    // One probe cycle: the probe leaves, the offers arrive after their RTT,
    // the wait runs out. beforeLastOffer runs just before the last offer is
    // read (benchmarks start their clock there).
    void Cycle(const std::vector<TestOffer>& offers,
               const std::function<void()>& beforeLastOffer = {}) {
        const uint32_t probe = Engine().RecordProbeSent(now_);
        form->GetMonitor().Port().Send(WM_LW_PADI_SENT, probe);
        const ProbeFrame sent = Engine().GetProbeFrame();
        Feed(sent.data(), sent.size(), 10);
        for (const TestOffer& offer : offers) {
            if (beforeLastOffer && &offer == &offers.back()) beforeLastOffer();
            const std::vector<uint8_t> pado = BuildPado(
                kFormOurMac, offer.mac, ProbeHostUniq(sent.data()), offer.acName, offer.service);
            Feed(pado.data(), pado.size(), 10 + offer.rttMicroseconds);
        }
        Engine().EndProbeWait(probe);
        form->GetMonitor().Port().Send(WM_LW_PADO_TIMEOUT, probe);
        now_ += 1000000;
    }

    QString Cell(int row, int column) const {
        return form->AcModel()->index(row, column).data().toString();
    }

    TempFolder folder{"lwform"};
    // The window's own engine, fed frames as its receive thread would be.
    KtLinewatch& Engine() { return form->Probe().Engine(); }

    QPointer<CMonitorForm> form;
    RecordingTray* tray = nullptr;
    std::vector<RecordedNotice>* notices = nullptr;
    std::vector<std::string>* sounds = nullptr;

  private:
    NoAdapters noAdapters_;
    RecordingDesktopParts parts_;

    void Feed(const uint8_t* data, size_t length, long offsetMicroseconds) {
        Engine().HandleFrame(CaptureHeader(now_ + offsetMicroseconds, length), data);
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
