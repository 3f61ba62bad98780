#pragma once

#include <cstdint>
#include <string>

#include "core/settings/app_settings.h"
#include "core/storage/setting_storage.h"
#include "core/threads/functors.h"
#include "engine/monitor_settings.h"

// Where the settings live and how they move: storage → settings model →
// working copies → monitor and engine, and back only through SaveSettings.
//
// Portable mode (an INI file beside the program, decided once at
// construction) keeps every option in that file and touches no registry
// store; otherwise options live under the per-user options key, with the
// machine-wide key as a read-only source of defaults.
class SettingsPersistence final : public AdapterChoiceStore {
  public:
    explicit SettingsPersistence(std::string programFolder);
    SettingsPersistence(const SettingsPersistence&) = delete;
    SettingsPersistence& operator=(const SettingsPersistence&) = delete;

    bool PortableMode() const { return portable_; }
    const std::string& IniFilePath() const { return iniPath_; }
    KtAppPropertyList& Properties() { return properties_; }

    // Defaults, then the machine-wide options, then the per-user options (or
    // the INI file), then the launch-on-startup state from the autostart
    // entries.
    void LoadSettings();
    // The working copies of the current properties (WorkingSettingsFrom).
    MonitorSettings WorkingSettings(bool atLoad);
    // Creates the data folders with any missing parents (a fresh account has
    // no ~/.local/share yet), except in portable mode.
    void CreateDataFolders() const;
    // The interface language file named by the settings.
    std::string LanguageFilePath();

    // Writes every stored option in one batch: all of them or none.
    bool SaveSettings();
    // Writes "PcapDeviceName" at once and keeps the model in step, so that
    // the next SaveSettings does not write the load-time name back.
    bool SaveAdapterName(const std::string& deviceName);
    // AdapterChoiceStore: SaveAdapterName, for a monitor's adapter choice.
    void KeepAdapterChoice(const std::string& deviceName) override;

    // Binds the model's listener: a committed batch is applied to the monitor
    // (restarting monitoring when it must) and then saved. The monitor's
    // adapter choice is saved through SaveAdapterName.
    void AttachMonitor(MonitorSettingsTarget& monitor);

    // The model's listener.
    void ApplySettingChanges(KtPropertyIterator& changes);

  private:
    void ReadOptions(KtSettingStorage& storage);

    const std::string programFolder_;
    const std::string iniPath_;
    const bool portable_;
    KtAppPropertyList properties_;
    KtVoidUnaryMemberFunction<SettingsPersistence, KtPropertyIterator&> listener_;
    MonitorSettingsTarget* monitor_ = nullptr;
};
