#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/settings/app_settings.h"
#include "core/threads/message_port.h"
#include "engine/ac_log_file.h"
#include "engine/ac_record.h"
#include "engine/adapters.h"
#include "engine/engine_messages.h"
#include "engine/linewatch.h"
#include "engine/log_writer.h"
#include "engine/monitor_settings.h"
#include "engine/monitor_view.h"
#include "engine/net_watch_media.h"
#include "engine/probe_cycles.h"

// Posted to the monitor's own port when another thread wrote a log line, so
// that the log box is fed on the owner thread.
constexpr uint32_t WM_LW_LOG_LINES = WM_USER + 20;

// Balloon and log texts of the events.
constexpr std::string_view kAdapterErrorText =
    "This Ethernet Adapter is unavailable. Line Watchman is stopped";
constexpr std::string_view kCableUnpluggedText = "Network cable unplugged";
constexpr std::string_view kCableConnectedText = "Network cable is connected";
constexpr std::string_view kProbesNotSentText = "Probes cannot be sent on this adapter";
constexpr std::string_view kProbesSentAgainText = "Probes are sent on this adapter again";
constexpr std::string_view kAdapterBackText =
    "This Ethernet Adapter is available again. Line Watchman is started";

// The most rows one adapter's table holds. A real segment has a few
// concentrators, at most a few thousand; but anyone on the segment can send
// offers from made-up MACs and AC-Names, and without a bound each of them
// would add a row (with its round-trip history) for good. Past the bound,
// offers from concentrators not yet listed are counted and left out; the
// listed ones go on being counted and drawn.
constexpr size_t kMaxAcRows = 4096;
// Written once when the table fills ("ERROR: " + text) and once when it has
// room again ("INFO: " + text).
std::string AcTableFullText();
constexpr std::string_view kAcTableRoomText =
    "The table of access concentrators has room again; new ones are listed";

// Running counts of what the monitor handled since it was made, for export
// as counters (they never go back, whatever the table does).
struct MonitorCounts {
    uint64_t probesSent = 0;
    uint64_t probesFailed = 0;  // transmissions that failed
    uint64_t captureErrors = 0;
    uint64_t acNew = 0;
    uint64_t acUp = 0;
    uint64_t acDown = 0;
    uint64_t cableUnplugged = 0;
    uint64_t cableConnected = 0;
    // Offers from concentrators not listed, left out because the table was full.
    uint64_t offersUnlisted = 0;
};

// The monitor window's rules without the window: the AC table, the events and
// their log lines, balloons, tray state and sounds, the logs, the adapter
// choice and the start and stop of monitoring. It runs on the thread that
// constructs it (the owner thread); the engines report to it through its
// message port, which the owner drains (MessagePort::Drain or WaitAndDrain).
// What must be shown goes to the MonitorView.
class Monitor final : public MonitorSettingsTarget,
                      private LinewatchOwner,
                      private LinkWatchOwner,
                      private LogBoxListener {
  public:
    // The engine and the link watcher are this adapter's own (AdapterProbe
    // holds the three together) and must outlive the monitor. programFolder
    // is the base of a relative log folder.
    Monitor(KtLinewatch& engine, KtNetWatchMedia& media, MonitorView& view,
            const MonitorSettings& settings, std::string programFolder);
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    MessagePort& Port() { return port_; }
    KtLogWriter& LogWriter() { return logWriter_; }

    // Window creation: opens the general log when it is on, writes the banner
    // line, builds the adapter list from `adapters` and, when there is one,
    // starts monitoring on the selected adapter. False when no adapter was
    // listed or monitoring did not start.
    bool Open(std::vector<AdapterEntry> adapters);
    // Window destruction: stops monitoring, closes the capture, clears the
    // table, forgets the adapters and closes the general log. Further engine
    // messages are ignored. The destructor calls it.
    void Close();

    // Lists the adapters, selects the saved one (or the first, whose name is
    // then saved) and writes the "Select: " line. False with no adapter.
    bool BuildAdapterList(std::vector<AdapterEntry> adapters);
    // The user picked an adapter (index into Adapters()); the current one
    // again restarts monitoring on it.
    void SelectAdapter(size_t index);
    // Opens the capture on the current adapter and starts the link watcher
    // and the engine; writes the adapter error line when the capture cannot
    // be opened. False when monitoring did not start.
    bool StartMonitoring();
    void StopMonitoring();
    bool IsMonitoring() const { return running_; }

    // Commands of the window.
    void Rediscover();
    // A left click on the tray icon: stops the sound that is playing, above
    // all one that loops until the user reacts (Rediscover and a connected
    // cable do the same), whatever the sound options say by now.
    void StopWaitingSound();
    void RemoveSelected();
    void ClearTable();
    // The user changed the table's selection (-1: none).
    void OnSelectionChanged(int row);
    // Shows the engine status (the window calls it once a second).
    void RefreshStatusText();

    // MonitorSettingsTarget (monitor_settings.cpp): each setting of the batch
    // takes effect as its row describes; monitoring restarts when the
    // interval or the capture mode changed.
    void ApplySettingChanges(const MonitorSettings& values,
                             std::span<const int32_t> changedIds) override;
    void SetAdapterChoiceStore(AdapterChoiceStore* store) override;
    // Applies every setting that differs from the working copies.
    void ApplySettings(const MonitorSettings& values);

    // The port's handler: dispatches engine messages by id.
    void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);

    const std::vector<std::unique_ptr<KtAcRecord>>& Rows() const { return rows_; }
    int SelectedRow() const { return selected_; }
    bool TrayUp() const { return trayUp_; }
    bool NewAcSoundArmed() const { return newAcSoundArmed_; }
    bool AcLogActive() const { return acLogActive_; }
    const MonitorSettings& Settings() const { return settings_; }
    const MonitorCounts& Counts() const { return counts_; }
    const std::vector<AdapterEntry>& Adapters() const { return adapters_; }
    int CurrentAdapter() const { return currentAdapter_; }
    // The source MAC the probe carries: the custom one when it is in use,
    // else the current adapter's; none without an adapter.
    std::optional<MacAddress> CurrentSourceMac() const;
    // The log folder text resolved against the program folder.
    std::string LogFolder() const;
    // True when the last StartMonitoring failed for lack of CAP_NET_RAW.
    bool LastStartLackedPermission() const { return lastStartLackedPermission_; }

  private:
    // What the engine, the link watcher and the log writer report, turned
    // into messages on the port (monitor.cpp).
    void ProbeSent(uint32_t probe) override;
    void ProbeSendFailed(uint32_t probe) override;
    void PadoWaitExpired(uint32_t probe) override;
    void PadoReceived(uint32_t probe) override;
    void CaptureError(uint32_t reason) override;
    void StopWorker(KtThread& worker) override;
    void CableChanged(int state) override;
    void AdapterReturned() override;
    void StopWatcher(KtThread& watcher) override;
    void BoxLinesQueued() override;

    void HandlePadiSent(uint32_t probe);
    void HandleSendFailed(uint32_t probe);
    void CountProbe(uint32_t probe);
    void HandlePadoReceived();
    void CountReply(const KtPadoReply& reply);
    void HandlePadoTimeout(uint32_t probe);
    void HandleCaptureError(uintptr_t wParam);
    void HandleCable(uintptr_t wParam);
    void HandleAdapterBack();
    // The current adapter's MAC as the interface has it now: a replugged
    // adapter, or a new one of the same name, may bring another.
    void RefreshAdapterMac();
    void DrainLogBox();

    void AddAc(const KtPadoReply& reply);
    void LeaveOutOffer();
    void NoteTableRoom();
    void RaiseAcUp(size_t row);
    void RaiseAcDown(size_t row);
    void SettleTrayAfterExpiry();
    // True when the tray icon follows the selected row rather than all rows.
    bool FollowsSelectedRow() const;
    void SelectRowFromMonitor(int row);
    void HandleSelection(int row);
    void ShowBalloon(std::string_view title, BalloonIcon icon, std::string_view text);
    void PlayEventSound(const std::string& file);
    // The settings side (monitor_settings.cpp).
    void TakeSettings(const MonitorSettings& settings);
    void HandSourceMacToEngine();
    void SwitchGeneralLog();
    void SwitchAcLogs();
    void OpenAcLogFile(KtAcRecord& record, std::string_view failureText);
    void OpenGeneralLog(std::string_view failureText);
    std::string AcTitle(const KtAcRecord& record) const;
    void WriteSelectLine();

    KtLinewatch& engine_;
    KtNetWatchMedia& media_;
    MonitorView& view_;
    const std::string programFolder_;
    MessagePort port_;

    MonitorSettings settings_;
    std::optional<MacAddress> customSourceMac_;
    bool useCustomSourceMac_ = false;
    bool acLogActive_ = false;
    bool generalLogActive_ = false;

    KtLogWriter logWriter_;
    KtAcLogFiles acLogFiles_;
    std::vector<std::unique_ptr<KtAcRecord>> rows_;
    int selected_ = -1;

    std::vector<AdapterEntry> adapters_;
    int currentAdapter_ = -1;
    AdapterChoiceStore* adapterChoiceStore_ = nullptr;

    // A WM_LW_PADO_RECEIVED is queued and not yet handled.
    std::atomic<bool> offersPosted_{false};
    bool trayUp_ = false;
    bool newAcSoundArmed_ = false;
    bool running_ = false;
    bool closed_ = false;
    bool lastStartLackedPermission_ = false;
    // Set from a failed transmission to the next successful one.
    bool sendsFailing_ = false;
    // Set from an offer left out for lack of room to the next removal.
    bool tableFull_ = false;
    ProbeCycles cycles_;
    MonitorCounts counts_;
};
