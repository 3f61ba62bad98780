#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/settings/app_settings.h"

class KtLinewatch;

// The working copies of the settings the monitor uses, in the settings' own
// units. The settings model (or a front end's options) fills one; the monitor
// never reads storage. The defaults are those of the setting descriptors.
struct MonitorSettings {
    bool soundEventsEnabled = false;    // SndEvtEnabled (cable and AC sounds)
    std::string cableUnplugSoundFile;   // SndEvtCableUnplugFileName
    std::string newAcSoundFile;         // SndEvtNewACFileName
    int32_t probeIntervalSeconds = 30;  // MonPADISendInterval, 1..3600
    int32_t padoWaitMs = 500;           // MonPADOWaitTime, 100..1000
    int32_t downAfterUnanswered = 1;    // MonStateDownAfterUnanswer, 1..100
    bool trayShowTooltips = false;      // MonTrayShowTooltips: balloons
    bool trayShowAcState = false;       // MonTrayShowACState: tray follows the selection
    bool waitUserAction = false;        // MonEvtWaitUserAction: sounds loop
    bool logForeignPadi = false;        // LogPADINodesEnabled
    bool logInstancePadi = false;       // LogPADILinewatchEnabled
    bool generalLog = false;            // LogGenWriteToFile
    bool acLog = false;                 // LogACWriteToFile
    std::string logDirectory{kDefaultLogDirectory};  // LogDirectory
    std::string deviceName;                          // PcapDeviceName
    bool useSourceMac = false;                       // PcapUseSourceMAC
    std::string sourceMacText;                       // PcapSourceMAC
    bool promiscuous = false;                        // PcapPromiscuousMode

    bool operator==(const MonitorSettings&) const = default;
};

// Longest texts the working copies keep: 259 characters for the sound files
// and the adapter name, 19 for the custom source MAC text.
constexpr size_t kWorkingPathLimit = 259;
constexpr size_t kWorkingMacTextLimit = 19;

// What applying a changed setting does besides updating its working copy.
// Effects of one batch run after every working copy of the batch is taken,
// in this order: custom MAC text, use flag, hand-over of the source MAC, the
// sound that loops, the general log, the per-AC logs, the restart.
enum MonitorSettingEffect : uint32_t {
    kEffectNone = 0,
    kEffectCustomMacText = 1u << 0,  // a text that reads as a MAC becomes the custom address
    kEffectCustomMacUse = 1u << 1,   // the custom address is used or not
    kEffectGeneralLog = 1u << 2,     // the general log file opens or closes
    kEffectAcLogs = 1u << 3,         // the per-AC log files open or close
    kEffectRestart = 1u << 4,        // monitoring stops and starts again
    // Taken when the monitor is made and never from a batch: the adapter
    // list owns it afterwards (it is saved when the adapter changes).
    kEffectLoadOnly = 1u << 5,
    // A sound that loops until the user reacts stops when either sound
    // option is now off.
    kEffectSoundLoop = 1u << 6,
};

// How a text setting fits its working copy.
enum class TextFit : uint8_t {
    kWhole,     // no limit
    kLeaveOut,  // longer than the limit: left out (a cut path names another file)
    kCut,       // longer than the limit: cut to it
};

using MonitorSettingMember = std::variant<bool MonitorSettings::*, int32_t MonitorSettings::*,
                                          std::string MonitorSettings::*>;

// One monitor setting, described once: the rest (comparison, applying, the
// working copies from the settings model) is derived from these rows. Bounds,
// key names and defaults are those of the setting descriptors.
struct MonitorSettingRow {
    int32_t id;
    MonitorSettingMember member;
    uint32_t effects = kEffectNone;
    // Hands the working copy to the engine; null when the engine keeps none.
    void (*toEngine)(KtLinewatch& engine, const MonitorSettings& settings) = nullptr;
    TextFit fit = TextFit::kWhole;
    size_t textLimit = 0;
};

// Every monitor setting, by ascending identifier.
std::span<const MonitorSettingRow> MonitorSettingRows();
// The row of an identifier; null for a setting the monitor does not use.
const MonitorSettingRow* FindMonitorSetting(int32_t id);

// The property identifiers whose values differ between two settings.
std::vector<int32_t> ChangedSettingIds(const MonitorSettings& before, const MonitorSettings& after);

// The working copies of the model's current values. Numbers outside their
// accepted ranges (a damaged or hand-edited store) are brought to the nearest
// bound, since an interval of 0 would flood the segment; texts are fitted to
// their working copies. With `atLoad`, a custom source MAC that is not in its
// exact form (ParseCustomSourceMac), or is a group or the all-zero address,
// switches the custom address off for the run; the stored setting is unchanged.
MonitorSettings WorkingSettingsFrom(KtPropertyList& properties, bool atLoad);

// Where the monitor's adapter choice is kept for the next run.
class AdapterChoiceStore {
  public:
    // Called with the device name whenever the adapter choice must be saved.
    virtual void KeepAdapterChoice(const std::string& deviceName) = 0;

  protected:
    ~AdapterChoiceStore() = default;
};

// What the settings persistence needs of the monitor: batches of accepted
// changes go in, the adapter choice comes out to be saved.
class MonitorSettingsTarget {
  public:
    // Applies changed settings: `changedIds` are the property identifiers of
    // the batch (any order; a listed id is applied even when its value did
    // not change). Saving is the caller's business.
    virtual void ApplySettingChanges(const MonitorSettings& values,
                                     std::span<const int32_t> changedIds) = 0;
    // Where the adapter choice is saved from now on (null: not saved); the
    // store must outlive the target or be replaced first.
    virtual void SetAdapterChoiceStore(AdapterChoiceStore* store) = 0;

  protected:
    ~MonitorSettingsTarget() = default;
};
