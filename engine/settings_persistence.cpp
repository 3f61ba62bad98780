#include "engine/settings_persistence.h"

#include <vector>

#include "core/debug_output.h"
#include "core/file_system.h"
#include "core/program_paths.h"
#include "core/storage/ini_file.h"
#include "core/storage/registry.h"
#include "core/storage/storage_names.h"

SettingsPersistence::SettingsPersistence(std::string programFolder)
    : programFolder_(std::move(programFolder)),
      iniPath_(programFolder_ + std::string(kIniFileName)),
      portable_(FileExists(iniPath_)),
      listener_(this, &SettingsPersistence::ApplySettingChanges) {
    properties_.SetListener(&listener_);
}

void SettingsPersistence::ReadOptions(KtSettingStorage& storage) {
    for (const auto& [id, descriptor] : SettingDescriptors()) {
        if (descriptor.group != kGroupOption || !storage.ValueExists(descriptor.keyName)) continue;
        if (descriptor.type == kTypeInteger)
            properties_.SetProperty(id, KtPropertyValue(storage.ReadInt(descriptor.keyName)));
        else
            properties_.SetProperty(id, KtPropertyValue(storage.ReadString(descriptor.keyName)));
    }
}

void SettingsPersistence::LoadSettings() {
    for (const auto& [id, descriptor] : SettingDescriptors())
        properties_.SetProperty(id, descriptor.defaultValue);

    if (portable_) {
        KtIniFile ini(iniPath_);
        ini.SetSection(kIniOptionsSection);
        ReadOptions(ini);
    } else {
        KtRegistry machine(RegistryRoot::LocalMachine);
        if (machine.Open(kOptionsKeyPath, false, false)) ReadOptions(machine);

        // Per-user values override machine-wide ones. A store that cannot be
        // written (a read-only home) is still read, so its settings are not lost.
        KtRegistry user(RegistryRoot::CurrentUser);
        if (user.Open(kOptionsKeyPath, true, true) || user.Open(kOptionsKeyPath, false, false))
            ReadOptions(user);
    }

    int32_t launch = 0;
    KtRegistry userRun(RegistryRoot::CurrentUser);
    if (userRun.Open(kRunKeyAbsolutePath, false, false) && userRun.ValueExists(kRunValueName))
        launch = 1;
    KtRegistry machineRun(RegistryRoot::LocalMachine);
    if (machineRun.Open(kRunKeyAbsolutePath, false, false) && machineRun.ValueExists(kRunValueName))
        launch = 2;
    properties_.SetProperty(kPropLaunchOnStartup, KtPropertyValue(launch));
}

MonitorSettings SettingsPersistence::WorkingSettings(bool atLoad) {
    return WorkingSettingsFrom(properties_, atLoad);
}

void SettingsPersistence::CreateDataFolders() const {
    if (portable_) return;
    const std::string appData = GetAppDataFolder();
    if (appData.empty()) return;
    // Failures are of no consequence here: a log that cannot open says so.
    MakeDirectories(JoinPath(appData, "Tarnweld Lab/Line Watchman"), 0755);
}

std::string SettingsPersistence::LanguageFilePath() {
    return programFolder_ + "/language/" + properties_.GetProperty(kPropSysLanguageFile).AsString();
}

namespace {

template <class Storage>
bool WriteOptions(Storage& storage, KtAppPropertyList& properties) {
    if (!storage.BeginBatch()) return false;
    for (const auto& [id, descriptor] : SettingDescriptors()) {
        if (descriptor.group != kGroupOption) continue;
        const KtPropertyValue value = properties.GetProperty(id);
        if (descriptor.type == kTypeInteger)
            storage.WriteInt(descriptor.keyName, value.AsInt());
        else
            storage.WriteString(descriptor.keyName, value.AsString());
    }
    return storage.CommitBatch();
}

}  // namespace

bool SettingsPersistence::SaveSettings() {
    bool saved = false;
    if (portable_) {
        KtIniFile ini(iniPath_);
        ini.SetSection(kIniOptionsSection);
        saved = WriteOptions(ini, properties_);
    } else {
        KtRegistry user(RegistryRoot::CurrentUser);
        if (!user.Open(kOptionsKeyPath, true, true)) return false;
        saved = WriteOptions(user, properties_);
    }
    if (!saved) DebugOutput("Settings: the options could not be saved\n");
    return saved;
}

bool SettingsPersistence::SaveAdapterName(const std::string& deviceName) {
    properties_.SetProperty(kPropPcapDeviceName, KtPropertyValue(deviceName));
    if (portable_) {
        KtIniFile ini(iniPath_);
        return ini.WriteString(kIniOptionsSection,
                               SettingDescriptors().at(kPropPcapDeviceName).keyName, deviceName);
    }
    KtRegistry user(RegistryRoot::CurrentUser);
    if (!user.Open(kOptionsKeyPath, true, true)) return false;
    return user.SetStringValue(SettingDescriptors().at(kPropPcapDeviceName).keyName, deviceName);
}

void SettingsPersistence::AttachMonitor(MonitorSettingsTarget& monitor) {
    monitor_ = &monitor;
    monitor.SetAdapterChoiceStore(this);
}

void SettingsPersistence::KeepAdapterChoice(const std::string& deviceName) {
    SaveAdapterName(deviceName);
}

void SettingsPersistence::ApplySettingChanges(KtPropertyIterator& changes) {
    std::vector<int32_t> ids;
    changes.Reset();
    int32_t id = 0;
    KtPropertyValue value;
    while (changes.Next(id, value)) ids.push_back(id);
    if (monitor_ != nullptr) monitor_->ApplySettingChanges(WorkingSettings(false), ids);
    SaveSettings();
}
