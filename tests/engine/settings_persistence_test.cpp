#include "engine/settings_persistence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "core/storage/autostart.h"
#include "core/storage/ini_file.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "core/storage/storage_names.h"
#include "engine/linewatch.h"
#include "engine/monitor.h"
#include "engine/net_watch_media.h"
#include "recording_view.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Every store the settings can touch, redirected into one temporary folder.
class SettingsPlaces : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("lw-settings-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(program());
        fs::create_directories(data());
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, (root_ / "hkcu.db").string());
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, (root_ / "hklm.db").string());
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, (root_ / "user-autostart").string());
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, (root_ / "system-autostart").string());
        dataHome_ = std::make_unique<ScopedEnv>("XDG_DATA_HOME", data().c_str());
        appData_ = std::make_unique<ScopedEnv>("APPDATA", nullptr);
    }
    void TearDown() override {
        appData_.reset();
        dataHome_.reset();
        fs::remove_all(root_);
    }

    fs::path program() const { return root_ / "program"; }
    fs::path data() const { return root_ / "data"; }

    static void Plant(RegistryRoot root, std::string_view name, int32_t value) {
        KtRegistry key(root);
        ASSERT_TRUE(key.Open(kOptionsKeyPath, true, true));
        key.WriteInt(name, value);
    }
    static void Plant(RegistryRoot root, std::string_view name, std::string_view value) {
        KtRegistry key(root);
        ASSERT_TRUE(key.Open(kOptionsKeyPath, true, true));
        key.WriteString(name, value);
    }
    static void PlantRun(RegistryRoot root) {
        KtRegistry run(root);
        ASSERT_TRUE(run.Open(kRunKeyAbsolutePath, true, true));
        run.WriteString(kRunValueName, "/usr/bin/linewatch");
    }
    static bool UserHas(std::string_view name) {
        KtRegistry key(RegistryRoot::CurrentUser);
        return key.Open(kOptionsKeyPath, false, false) && key.ValueExists(name);
    }

    fs::path root_;
    std::unique_ptr<ScopedEnv> dataHome_;
    std::unique_ptr<ScopedEnv> appData_;
};

TEST_F(SettingsPlaces, DefaultsStandWithEmptyStores) {
    SettingsPersistence settings(program().string());
    EXPECT_FALSE(settings.PortableMode());
    settings.LoadSettings();
    for (const auto& [id, descriptor] : SettingDescriptors())
        EXPECT_EQ(settings.Properties().GetProperty(id), descriptor.defaultValue) << id;
    const MonitorSettings working = settings.WorkingSettings(true);
    EXPECT_EQ(working.probeIntervalSeconds, 30);
    EXPECT_EQ(working.padoWaitMs, 500);
    EXPECT_EQ(working.logDirectory, "%APPDATA%\\Tarnweld Lab\\Line Watchman");
}

TEST_F(SettingsPlaces, PerUserValuesOverrideMachineWideOnes) {
    Plant(RegistryRoot::LocalMachine, "MonPADISendInterval", 60);
    Plant(RegistryRoot::LocalMachine, "MonPADOWaitTime", 800);
    Plant(RegistryRoot::CurrentUser, "MonPADISendInterval", 5);
    SettingsPersistence settings(program().string());
    settings.LoadSettings();
    EXPECT_EQ(settings.Properties().GetProperty(kPropMonPADISendInterval).AsInt(), 5);
    EXPECT_EQ(settings.Properties().GetProperty(kPropMonPADOWaitTime).AsInt(), 800);
}

TEST_F(SettingsPlaces, AMachineWideValueReachesThePerUserStoreAtTheNextAcceptedChange) {
    Plant(RegistryRoot::LocalMachine, "MonPADOWaitTime", 800);
    SettingsPersistence settings(program().string());
    settings.LoadSettings();
    EXPECT_FALSE(UserHas("MonPADOWaitTime"));

    KtAppPropertyEditor editor(&settings.Properties());
    editor.SetProperty(kPropLogGenWriteToFile, KtPropertyValue(1));
    editor.Commit();

    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kOptionsKeyPath, false, false));
    EXPECT_EQ(user.ReadInt("MonPADOWaitTime"), 800);
    EXPECT_EQ(user.ReadInt("LogGenWriteToFile"), 1);
    // Every stored option is there, unchanged ones at their defaults; the
    // derived launch state is never written among them.
    for (const auto& [id, descriptor] : SettingDescriptors()) {
        if (descriptor.group == kGroupOption) {
            EXPECT_TRUE(user.ValueExists(descriptor.keyName)) << id;
        }
    }
    EXPECT_EQ(user.ReadString("LogDirectory"), "%APPDATA%\\Tarnweld Lab\\Line Watchman");
    // Nothing is ever written to the machine-wide options.
    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open(kOptionsKeyPath, false, false));
    EXPECT_FALSE(machine.ValueExists("LogGenWriteToFile"));
}

TEST_F(SettingsPlaces, LaunchStateComesFromTheAutostartEntries) {
    {
        SettingsPersistence settings(program().string());
        settings.LoadSettings();
        EXPECT_EQ(settings.Properties().GetProperty(kPropLaunchOnStartup).AsInt(), 0);
    }
    PlantRun(RegistryRoot::CurrentUser);
    {
        SettingsPersistence settings(program().string());
        settings.LoadSettings();
        EXPECT_EQ(settings.Properties().GetProperty(kPropLaunchOnStartup).AsInt(), 1);
    }
    PlantRun(RegistryRoot::LocalMachine);
    {
        SettingsPersistence settings(program().string());
        settings.LoadSettings();
        EXPECT_EQ(settings.Properties().GetProperty(kPropLaunchOnStartup).AsInt(), 2);
    }
}

TEST_F(SettingsPlaces, PortableModeUsesOnlyTheIniFileAndCreatesNoDataFolder) {
    Plant(RegistryRoot::CurrentUser, "MonPADISendInterval", 5);
    const fs::path userDb = root_ / "hkcu.db";
    const auto userDbTime = fs::last_write_time(userDb);
    {
        std::ofstream ini(program() / "linewatch.ini");
        ini << "[Options]\nMonPADISendInterval=120\nLogDirectory=\"logs\"\n";
    }
    SettingsPersistence settings(program().string());
    ASSERT_TRUE(settings.PortableMode());
    settings.LoadSettings();
    EXPECT_EQ(settings.Properties().GetProperty(kPropMonPADISendInterval).AsInt(), 120);
    EXPECT_EQ(settings.Properties().GetProperty(kPropLogDirectory).AsString(), "logs");

    settings.CreateDataFolders();
    EXPECT_FALSE(fs::exists(data() / "Tarnweld Lab"));

    KtAppPropertyEditor editor(&settings.Properties());
    editor.SetProperty(kPropMonPADOWaitTime, KtPropertyValue(300));
    editor.Commit();
    EXPECT_TRUE(settings.SaveAdapterName("lwmon0"));

    KtIniFile ini((program() / "linewatch.ini").string());
    EXPECT_EQ(ini.ReadInt("Options", "MonPADOWaitTime", 0), 300);
    EXPECT_EQ(ini.ReadString("Options", "PcapDeviceName", ""), "lwmon0");
    EXPECT_EQ(ini.ReadInt("Options", "PcapPromiscuousMode", -1), 0);
    // The registry stores were not touched: no machine store appeared and the
    // user store is as it was.
    EXPECT_FALSE(fs::exists(root_ / "hklm.db"));
    EXPECT_EQ(fs::last_write_time(userDb), userDbTime);
}

TEST_F(SettingsPlaces, AFolderNamedLikeTheIniFileIsNotPortableMode) {
    fs::create_directories(program() / "linewatch.ini");
    SettingsPersistence settings(program().string());
    EXPECT_FALSE(settings.PortableMode());
    settings.CreateDataFolders();
    EXPECT_TRUE(fs::is_directory(data() / "Tarnweld Lab" / "Line Watchman"));
}

TEST_F(SettingsPlaces, TheCustomSourceMacMustBeExactAndUnicastAtLoad) {
    Plant(RegistryRoot::CurrentUser, "PcapUseSourceMAC", 1);
    Plant(RegistryRoot::CurrentUser, "PcapSourceMAC", "00:11:22:33:44:55");
    {
        SettingsPersistence settings(program().string());
        settings.LoadSettings();
        const MonitorSettings working = settings.WorkingSettings(true);
        EXPECT_TRUE(working.useSourceMac);
        EXPECT_EQ(working.sourceMacText, "00:11:22:33:44:55");
    }
    // Sixteen characters parse, yet switch the custom address off for the run
    // without changing the stored setting.
    // So do a group address and the zero address an older version stored:
    // probes never carry them.
    for (const char* text :
         {"0:11:22:33:44:55", "01:00:5e:00:00:01", "ff:ff:ff:ff:ff:ff", "00:00:00:00:00:00"}) {
        Plant(RegistryRoot::CurrentUser, "PcapSourceMAC", text);
        SettingsPersistence settings(program().string());
        settings.LoadSettings();
        EXPECT_FALSE(settings.WorkingSettings(true).useSourceMac) << text;
        EXPECT_EQ(settings.Properties().GetProperty(kPropPcapUseSourceMAC).AsInt(), 1);
    }
}

TEST_F(SettingsPlaces, WorkingCopiesStayWithinTheirLimits) {
    Plant(RegistryRoot::CurrentUser, "MonPADISendInterval", 0);
    Plant(RegistryRoot::CurrentUser, "MonPADOWaitTime", -5);
    Plant(RegistryRoot::CurrentUser, "MonStateDownAfterUnanswer", 1000);
    Plant(RegistryRoot::CurrentUser, "SndEvtNewACFileName", std::string(300, 'a'));
    Plant(RegistryRoot::CurrentUser, "SndEvtCableUnplugFileName", "/usr/share/sounds/unplug.wav");
    Plant(RegistryRoot::CurrentUser, "PcapSourceMAC", "00:11:22:33:44:55:66:77:88");
    SettingsPersistence settings(program().string());
    settings.LoadSettings();
    const MonitorSettings working = settings.WorkingSettings(true);
    EXPECT_EQ(working.probeIntervalSeconds, 1);
    EXPECT_EQ(working.padoWaitMs, 100);
    EXPECT_EQ(working.downAfterUnanswered, 100);
    EXPECT_EQ(working.newAcSoundFile, "");
    EXPECT_EQ(working.cableUnplugSoundFile, "/usr/share/sounds/unplug.wav");
    EXPECT_EQ(working.sourceMacText, "00:11:22:33:44:55:6");
    // The model keeps what was stored.
    EXPECT_EQ(settings.Properties().GetProperty(kPropMonPADISendInterval).AsInt(), 0);
}

TEST_F(SettingsPlaces, ACorruptStoreLoadsDefaultsAndTheNextSaveRepairsIt) {
    Plant(RegistryRoot::CurrentUser, "MonPADISendInterval", 5);
    {
        std::ofstream broken(root_ / "hkcu.db", std::ios::trunc | std::ios::binary);
        broken << "this is not a database at all, just bytes that look like nothing";
    }
    SettingsPersistence settings(program().string());
    settings.LoadSettings();
    EXPECT_EQ(settings.Properties().GetProperty(kPropMonPADISendInterval).AsInt(), 30);

    settings.Properties().SetProperty(kPropMonPADISendInterval, KtPropertyValue(7));
    EXPECT_TRUE(settings.SaveSettings());
    SettingsPersistence again(program().string());
    again.LoadSettings();
    EXPECT_EQ(again.Properties().GetProperty(kPropMonPADISendInterval).AsInt(), 7);
}

// An accepted change reaches the monitor and the engine, restarts monitoring
// only for the interval or the capture mode, and is saved. The adapter here
// cannot be opened, so every start of monitoring writes the adapter error.
TEST_F(SettingsPlaces, AcceptedChangesRestartMonitoringOnlyForIntervalOrCaptureMode) {
    SettingsPersistence settings(program().string());
    settings.LoadSettings();
    KtLinewatch engine;
    KtNetWatchMedia media;
    RecordingView view;
    Monitor monitor(engine, media, view, settings.WorkingSettings(true), program().string());
    settings.AttachMonitor(monitor);
    monitor.Open({AdapterEntry{"lw-absent0", "absent adapter", {2, 0, 0, 0, 0, 1}}});
    const std::string adapterError =
        "ERROR: This Ethernet Adapter is unavailable. Line Watchman is stopped";
    ASSERT_EQ(view.LogCount(adapterError), 1u);

    auto commit = [&settings](int32_t id, int32_t value) {
        KtAppPropertyEditor editor(&settings.Properties());
        editor.SetProperty(id, KtPropertyValue(value));
        editor.Commit();
    };
    commit(kPropLogPADINodesEnabled, 1);
    commit(kPropMonPADOWaitTime, 200);
    commit(kPropMonStateDownAfterUnanswer, 3);
    EXPECT_EQ(view.LogCount(adapterError), 1u);
    EXPECT_EQ(engine.GetPadoWaitTime(), 200);

    commit(kPropMonPADISendInterval, 10);
    EXPECT_EQ(view.LogCount(adapterError), 2u);
    EXPECT_EQ(engine.GetProbeInterval(), 10000);
    commit(kPropPcapPromiscuousMode, 1);
    EXPECT_EQ(view.LogCount(adapterError), 3u);

    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kOptionsKeyPath, false, false));
    EXPECT_EQ(user.ReadInt("MonPADISendInterval"), 10);
    EXPECT_EQ(user.ReadInt("PcapPromiscuousMode"), 1);
    EXPECT_EQ(user.ReadInt("MonStateDownAfterUnanswer"), 3);
    monitor.Close();
}

TEST_F(SettingsPlaces, TheAdapterChosenInTheMonitorSurvivesTheNextAcceptedChange) {
    Plant(RegistryRoot::CurrentUser, "PcapDeviceName", "eth0");
    SettingsPersistence settings(program().string());
    settings.LoadSettings();
    ASSERT_TRUE(settings.SaveAdapterName("eth1"));
    EXPECT_EQ(settings.Properties().GetProperty(kPropPcapDeviceName).AsString(), "eth1");
    KtAppPropertyEditor editor(&settings.Properties());
    editor.SetProperty(kPropMonTrayShowTooltips, KtPropertyValue(1));
    editor.Commit();
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kOptionsKeyPath, false, false));
    EXPECT_EQ(user.ReadString("PcapDeviceName"), "eth1");
    EXPECT_EQ(user.ReadInt("MonTrayShowTooltips"), 1);
}

TEST_F(SettingsPlaces, DataFoldersAreMadeWithTheWholePathOnAFreshAccount) {
    // A fresh account (or root, or a container) has no ~/.local/share yet.
    const fs::path fresh = root_ / "fresh-home" / ".local" / "share";
    ScopedEnv dataHome("XDG_DATA_HOME", fresh.c_str());
    SettingsPersistence settings(program().string());
    settings.CreateDataFolders();
    EXPECT_TRUE(fs::is_directory(fresh / "Tarnweld Lab" / "Line Watchman"));
}

TEST_F(SettingsPlaces, TheLanguageFileLivesBelowTheProgramFolder) {
    Plant(RegistryRoot::CurrentUser, "SysLanguageFile", "deutsch.lng");
    SettingsPersistence settings(program().string());
    settings.LoadSettings();
    EXPECT_EQ(settings.LanguageFilePath(), (program() / "language" / "deutsch.lng").string());
}

}  // namespace
