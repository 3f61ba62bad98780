// The monitor's settings: the one description of every monitor setting, what
// is derived from it, and the monitor's side of taking settings in.
#include "engine/monitor_settings.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <type_traits>

#include "core/debug_output.h"
#include "core/file_system.h"
#include "engine/capture_protocol.h"
#include "engine/discovery_frames.h"
#include "engine/linewatch.h"
#include "engine/monitor.h"

namespace {

// A custom source MAC in its exact form that the probe may carry: a group
// (multicast, broadcast) or all-zero address stored by an older version is
// never sent, so it counts as no custom address.
std::optional<MacAddress> UsableCustomSourceMac(std::string_view text) {
    std::optional<MacAddress> mac = ParseCustomSourceMac(text);
    if (mac && !IsUsableSourceMac(*mac)) return std::nullopt;
    return mac;
}

const MonitorSettingRow kRows[] = {
    {kPropSndEvtEnabled, &MonitorSettings::soundEventsEnabled, kEffectSoundLoop},
    {kPropSndEvtCableUnplugFileName, &MonitorSettings::cableUnplugSoundFile, kEffectNone, nullptr,
     TextFit::kLeaveOut, kWorkingPathLimit},
    {kPropSndEvtNewACFileName, &MonitorSettings::newAcSoundFile, kEffectNone, nullptr,
     TextFit::kLeaveOut, kWorkingPathLimit},
    {kPropMonPADISendInterval, &MonitorSettings::probeIntervalSeconds, kEffectRestart,
     [](KtLinewatch& engine, const MonitorSettings& s) {
         engine.SetProbeInterval(s.probeIntervalSeconds * 1000);
     }},
    {kPropMonPADOWaitTime, &MonitorSettings::padoWaitMs, kEffectNone,
     [](KtLinewatch& engine, const MonitorSettings& s) { engine.SetPadoWaitTime(s.padoWaitMs); }},
    {kPropMonStateDownAfterUnanswer, &MonitorSettings::downAfterUnanswered},
    {kPropMonTrayShowTooltips, &MonitorSettings::trayShowTooltips},
    {kPropMonTrayShowACState, &MonitorSettings::trayShowAcState},
    {kPropMonEvtWaitUserAction, &MonitorSettings::waitUserAction, kEffectSoundLoop},
    {kPropLogPADINodesEnabled, &MonitorSettings::logForeignPadi, kEffectNone,
     [](KtLinewatch& engine, const MonitorSettings& s) {
         engine.SetLogForeignPadi(s.logForeignPadi);
     }},
    {kPropLogPADILinewatchEnabled, &MonitorSettings::logInstancePadi, kEffectNone,
     [](KtLinewatch& engine, const MonitorSettings& s) {
         engine.SetLogInstancePadi(s.logInstancePadi);
     }},
    {kPropLogGenWriteToFile, &MonitorSettings::generalLog, kEffectGeneralLog},
    {kPropLogACWriteToFile, &MonitorSettings::acLog, kEffectAcLogs},
    {kPropLogDirectory, &MonitorSettings::logDirectory},
    {kPropPcapDeviceName, &MonitorSettings::deviceName, kEffectLoadOnly, nullptr,
     TextFit::kLeaveOut, kWorkingPathLimit},
    {kPropPcapUseSourceMAC, &MonitorSettings::useSourceMac, kEffectCustomMacUse},
    {kPropPcapSourceMAC, &MonitorSettings::sourceMacText, kEffectCustomMacText, nullptr,
     TextFit::kCut, kWorkingMacTextLimit},
    {kPropPcapPromiscuousMode, &MonitorSettings::promiscuous, kEffectRestart},
};

std::string KeyName(int32_t id) {
    return std::string(SettingDescriptors().at(id).keyName);
}

// The working copy of one model value, in the member's type.
template <class T>
T WorkingValue(int32_t id, const KtPropertyValue& value, const MonitorSettingRow& row) {
    if constexpr (std::is_same_v<T, std::string>) {
        const std::string& text = value.AsString();
        if (row.fit == TextFit::kWhole || text.size() <= row.textLimit) return text;
        if (row.fit == TextFit::kCut) return text.substr(0, row.textLimit);
        DebugOutput("Settings: " + KeyName(id) + " is longer than " +
                    std::to_string(row.textLimit) + " characters and is not used\n");
        return {};
    } else {
        const int32_t number = value.AsInt();
        int32_t kept = number;
        if (const auto range = SettingRange(id)) {
            kept = std::clamp(number, range->first, range->second);
            if (kept != number)
                DebugOutput("Settings: " + KeyName(id) + " = " + std::to_string(number) +
                            " is out of range\n");
        }
        if constexpr (std::is_same_v<T, bool>)
            return kept != 0;
        else
            return kept;
    }
}

void CopyMember(const MonitorSettingMember& member, const MonitorSettings& from,
                MonitorSettings& to) {
    std::visit([&](auto pointer) { to.*pointer = from.*pointer; }, member);
}

bool MemberDiffers(const MonitorSettingMember& member, const MonitorSettings& a,
                   const MonitorSettings& b) {
    return std::visit([&](auto pointer) { return a.*pointer != b.*pointer; }, member);
}

}  // namespace

std::span<const MonitorSettingRow> MonitorSettingRows() {
    return kRows;
}

const MonitorSettingRow* FindMonitorSetting(int32_t id) {
    const auto found = std::find_if(std::begin(kRows), std::end(kRows),
                                    [id](const MonitorSettingRow& row) { return row.id == id; });
    return found != std::end(kRows) ? &*found : nullptr;
}

std::vector<int32_t> ChangedSettingIds(const MonitorSettings& a, const MonitorSettings& b) {
    std::vector<int32_t> ids;
    for (const MonitorSettingRow& row : kRows)
        if (MemberDiffers(row.member, a, b)) ids.push_back(row.id);
    return ids;
}

MonitorSettings WorkingSettingsFrom(KtPropertyList& properties, bool atLoad) {
    MonitorSettings settings;
    for (const MonitorSettingRow& row : kRows) {
        const KtPropertyValue value = properties.GetProperty(row.id);
        std::visit(
            [&](auto pointer) {
                using T = std::remove_reference_t<decltype(settings.*pointer)>;
                settings.*pointer = WorkingValue<T>(row.id, value, row);
            },
            row.member);
    }
    // The whole stored text, not the cut working copy, must have the form.
    if (atLoad && settings.useSourceMac &&
        !UsableCustomSourceMac(properties.GetProperty(kPropPcapSourceMAC).AsString()))
        settings.useSourceMac = false;
    return settings;
}

void Monitor::TakeSettings(const MonitorSettings& settings) {
    settings_ = settings;
    // The custom source MAC counts only in its exact form; otherwise it is off
    // for this run (the setting itself stays as it is).
    customSourceMac_ =
        settings_.useSourceMac ? UsableCustomSourceMac(settings_.sourceMacText) : std::nullopt;
    useCustomSourceMac_ = customSourceMac_.has_value();
    acLogActive_ = settings_.acLog;
    for (const MonitorSettingRow& row : kRows)
        if (row.toEngine != nullptr) row.toEngine(engine_, settings_);
}

void Monitor::ApplySettingChanges(const MonitorSettings& values,
                                  std::span<const int32_t> changedIds) {
    // Every working copy of the batch first, so that the effects see the
    // whole batch: a log switched on together with a new folder opens there.
    uint32_t effects = kEffectNone;
    for (const MonitorSettingRow& row : kRows) {
        if ((row.effects & kEffectLoadOnly) != 0 ||
            std::find(changedIds.begin(), changedIds.end(), row.id) == changedIds.end())
            continue;
        CopyMember(row.member, values, settings_);
        if (row.toEngine != nullptr) row.toEngine(engine_, settings_);
        effects |= row.effects;
    }
    if ((effects & kEffectCustomMacText) != 0) {
        // A text that does not read as a MAC, or names a group or the zero
        // address, leaves the previous address.
        if (auto mac = ParseMacText(settings_.sourceMacText); mac && IsUsableSourceMac(*mac))
            customSourceMac_ = mac;
    }
    if ((effects & kEffectCustomMacUse) != 0) useCustomSourceMac_ = settings_.useSourceMac;
    // A new address with the flag already set is sent from now on too.
    if ((effects & (kEffectCustomMacText | kEffectCustomMacUse)) != 0) HandSourceMacToEngine();
    if ((effects & kEffectSoundLoop) != 0 &&
        (!settings_.soundEventsEnabled || !settings_.waitUserAction))
        StopWaitingSound();
    if ((effects & kEffectGeneralLog) != 0) SwitchGeneralLog();
    if ((effects & kEffectAcLogs) != 0) SwitchAcLogs();
    if ((effects & kEffectRestart) != 0) {
        StopMonitoring();
        StartMonitoring();
    }
}

void Monitor::ApplySettings(const MonitorSettings& values) {
    const std::vector<int32_t> ids = ChangedSettingIds(settings_, values);
    ApplySettingChanges(values, ids);
}

void Monitor::SetAdapterChoiceStore(AdapterChoiceStore* store) {
    adapterChoiceStore_ = store;
}

std::optional<MacAddress> Monitor::CurrentSourceMac() const {
    if (useCustomSourceMac_ && customSourceMac_) return customSourceMac_;
    if (currentAdapter_ >= 0) return adapters_[static_cast<size_t>(currentAdapter_)].mac;
    return std::nullopt;
}

std::string Monitor::LogFolder() const {
    return ResolvePath(settings_.logDirectory, programFolder_);
}

void Monitor::HandSourceMacToEngine() {
    const std::optional<MacAddress> mac = CurrentSourceMac();
    engine_.SetSourceMac(mac ? &*mac : nullptr);
}

void Monitor::SwitchGeneralLog() {
    if (settings_.generalLog && !generalLogActive_) {
        OpenGeneralLog("Error: OnBtnClickedSettings::fopen_s()\n");
    } else if (!settings_.generalLog && generalLogActive_) {
        logWriter_.CloseGeneralLog();
        generalLogActive_ = false;
    }
}

void Monitor::SwitchAcLogs() {
    if (settings_.acLog && !acLogActive_) {
        // A row whose file cannot be made goes without; the others log.
        for (auto& record : rows_)
            OpenAcLogFile(*record, "Error: OnBnClickedSettings::AcLogFile::fopen_s()\n");
    } else if (!settings_.acLog) {
        // Switching off closes the files at once; switching on again starts
        // them anew.
        for (auto& record : rows_) record->logFile.reset();
    }
    acLogActive_ = settings_.acLog;
}

void Monitor::OpenAcLogFile(KtAcRecord& record, std::string_view failureText) {
    const std::string folder = LogFolder();
    record.logFile =
        folder.empty() ? nullptr : acLogFiles_.Open(JoinPath(folder, AcLogFileName(record.mac)));
    // A row whose file cannot be made goes without; the other rows, new ones
    // included, keep their logs.
    if (!record.logFile) DebugOutput(failureText);
}

void Monitor::OpenGeneralLog(std::string_view failureText) {
    generalLogActive_ = logWriter_.OpenGeneralLog(LogFolder());
    if (!generalLogActive_) DebugOutput(failureText);
}
