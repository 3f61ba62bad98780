#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct KtAcRecord;
struct AdapterEntry;

// Icons of a balloon notice, as the notification area numbers them.
enum class BalloonIcon : int { kInformation = 1, kWarning = 2, kError = 3 };

// What the monitor asks its front end to show. The monitor calls these on
// its owner thread only, each right after the state it reports has changed;
// a front end draws or prints and never changes the monitor's state from
// inside a call. Rows are numbered in table order; a record reference is
// valid only during the call (read it through Monitor::Rows afterwards).
class MonitorView {
  public:
    virtual ~MonitorView() = default;

    // The AC table.
    virtual void RowAdded(size_t row, const KtAcRecord& record) = 0;
    // Any column or the state icon of the row changed.
    virtual void RowChanged(size_t row, const KtAcRecord& record) = 0;
    virtual void RowRemoved(size_t row) = 0;
    virtual void RowsCleared() = 0;
    // The monitor selected a row (AC NEW selects row 0); -1: no selection.
    virtual void RowSelected(int row) = 0;

    // One line for the log box, stamp included, ending in "\r\n".
    virtual void LogAppended(std::string_view line) = 0;

    virtual void ShowBalloon(std::string_view title, BalloonIcon icon, std::string_view text) = 0;
    // Normal icon (a concentrator answers) or alarm icon.
    virtual void SetTrayState(bool up) = 0;
    virtual void PlaySound(const std::string& file, bool loop) = 0;
    virtual void StopSound() = 0;

    // The graphs of the selected AC must be redrawn from its history.
    virtual void RefreshGraphs() = 0;
    virtual void SetStatusText(int textId, std::string_view defaultText) = 0;
    // Caption naming the selected AC ("MAC  AC-Name"), or empty.
    virtual void SetSelectedAcLabel(std::string_view text) = 0;

    // The adapter box: entries in list order, the selected index (-1 with no
    // entry) and whether the user may change it (more than one entry).
    virtual void ShowAdapters(const std::vector<AdapterEntry>& adapters, int selected,
                              bool enabled) = 0;

    // The handling of one PADO-wait expiry is complete (all rows updated,
    // tray settled): one probe cycle has ended.
    virtual void ProbeCycleEnded() {}
};
