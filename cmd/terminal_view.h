#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/monitor.h"
#include "engine/monitor_view.h"

// Prints what the monitor reports: log lines as they come, the table after
// each probe cycle. Tray, sounds and graphs have no terminal counterpart.
class TerminalView : public MonitorView {
  public:
    // `prefix` ("IFACE: ") starts every log line and names the table when
    // several adapters share the terminal.
    TerminalView(std::string prefix, bool stats, bool quiet)
        : prefix_(std::move(prefix)), stats_(stats), quiet_(quiet) {}

    // The table is read from the monitor, which is made after the view.
    void SetMonitor(const Monitor* monitor) { monitor_ = monitor; }

    void RowAdded(size_t, const KtAcRecord&) override {}
    void RowChanged(size_t, const KtAcRecord&) override {}
    void RowRemoved(size_t) override {}
    void RowsCleared() override {}
    void RowSelected(int) override {}
    void LogAppended(std::string_view line) override;
    void ShowBalloon(std::string_view, BalloonIcon, std::string_view) override {}
    void SetTrayState(bool) override {}
    void PlaySound(const std::string&, bool) override {}
    void StopSound() override {}
    void RefreshGraphs() override {}
    void SetStatusText(int, std::string_view) override {}
    void SetSelectedAcLabel(std::string_view) override {}
    void ShowAdapters(const std::vector<AdapterEntry>&, int, bool) override {}
    void ProbeCycleEnded() override;

    long Cycles() const { return cycles_; }

  private:
    const std::string prefix_;
    const bool stats_;
    const bool quiet_;
    const Monitor* monitor_ = nullptr;
    long cycles_ = 0;
};
