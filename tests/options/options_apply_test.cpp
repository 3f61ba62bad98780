// OK in the options window reaches a real monitor through the settings
// persistence and the store, as it does in the program.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QPushButton>
#include <filesystem>

#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "core/storage/storage_names.h"
#include "engine/linewatch.h"
#include "engine/monitor.h"
#include "engine/net_watch_media.h"
#include "engine/recording_view.h"
#include "engine/settings_persistence.h"
#include "options_test_support.h"
#include "test_support.h"
#include "text/text_table.h"

namespace fs = std::filesystem;

namespace {

class OptionsApply : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, temp_.File("hkcu.db"));
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, temp_.File("hklm.db"));
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, temp_.File("user-autostart"));
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, temp_.File("system-autostart"));
        fs::create_directories(temp_.File("program"));
    }
    void TearDown() override {
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, "");
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, "");
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, "");
    }
    static std::string Stored(std::string_view name) {
        KtRegistry user(RegistryRoot::CurrentUser);
        return user.Open(kOptionsKeyPath, false, false) ? user.ReadString(name, "?") : "?";
    }
    static int32_t StoredInt(std::string_view name) {
        KtRegistry user(RegistryRoot::CurrentUser);
        return user.Open(kOptionsKeyPath, false, false) ? user.ReadInt(name, -1) : -1;
    }

    TempFolder temp_{"lw-options-apply"};
    ScriptedDialogs dialogs_;
};

}  // namespace

TEST_F(OptionsApply, OkAppliesToTheRunningMonitorAndSaves) {
    SettingsPersistence settings(temp_.File("program"));
    settings.LoadSettings();
    KtLinewatch engine;
    KtNetWatchMedia media;
    RecordingView view;
    Monitor monitor(engine, media, view, settings.WorkingSettings(true), temp_.File("program"));
    settings.AttachMonitor(monitor);
    monitor.Open({AdapterEntry{"lw-absent0", "first", {2, 0, 0, 0, 0, 1}},
                  AdapterEntry{"lw-absent1", "second", {2, 0, 0, 0, 0, 2}}});
    ASSERT_EQ(Stored("PcapDeviceName"), "lw-absent0");

    COptionsForm* form = OpenOptionsForm(settings.Properties(), {&dialogs_, ""});
    // The user picks another adapter in the monitor window while the options
    // window is open: an unrelated OK must not bring the old one back.
    monitor.SelectAdapter(1);
    ASSERT_EQ(Stored("PcapDeviceName"), "lw-absent1");

    auto* page = ShowPage<COptionsFormPgPopWndDlg>(*form, "Monitor");
    TypeInto(page->IntervalSpin()->Edit(), "10");
    auto* logs = ShowPage<COptionsFormPgLogs>(*form, "Logs");
    const std::string folder = temp_.File("new-logs");
    fs::create_directories(folder);
    dialogs_.folders.push_back(QString::fromStdString(folder));
    logs->findChild<QPushButton*>()->click();
    for (QCheckBox* box : logs->findChildren<QCheckBox*>()) {
        if (box->text() == "Write general log to file (monitor.log)") box->click();
    }
    QTest::mouseClick(form->OkButton(), Qt::LeftButton);

    EXPECT_EQ(engine.GetProbeInterval(), 10000);
    EXPECT_TRUE(fs::is_regular_file(folder + "/monitor.log"));
    EXPECT_EQ(StoredInt("MonPADISendInterval"), 10);
    EXPECT_EQ(StoredInt("LogGenWriteToFile"), 1);
    EXPECT_EQ(Stored("LogDirectory"), folder);
    EXPECT_EQ(Stored("PcapDeviceName"), "lw-absent1");
    monitor.Close();
}

TEST_F(OptionsApply, ALanguageChosenOnTheSystemPageIsTheInterfaceLanguageAtTheNextStart) {
    const std::string data = temp_.File("share");
    fs::create_directories(data + "/linewatch/language");
    std::ofstream(data + "/linewatch/language/testish.lng")
        << "[Info]\nLanguageName=Testish\nTranslator=T. Ester\nProductVersion=1.1.7\n"
        << "[OptionsForm]\n501=Einstellungen\n";
    ScopedEnv dirs("XDG_DATA_DIRS", data.c_str());
    {
        SettingsPersistence settings(temp_.File("program"));
        settings.LoadSettings();
        COptionsForm form(settings.Properties(), {&dialogs_, ""});
        auto* page = qobject_cast<COptionsFormPgGenDlg*>(form.CurrentPage());
        ASSERT_NE(page, nullptr);
        const auto found = page->Languages()->findItems("Testish", Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        page->Languages()->setCurrentItem(found.front());
        EXPECT_EQ(page->LanguageInfo()->text(), "Translator: T. Ester\nVersion: 1.1.7");
        form.OnOk();
    }
    SettingsPersistence next(temp_.File("program"));
    next.LoadSettings();
    KtTextTable table;
    table.Initialise(BuiltInTexts());
    EXPECT_TRUE(
        LoadInterfaceTexts(table, next.Properties().GetProperty(kPropSysLanguageFile).AsString()));
    EXPECT_EQ(table.GetText(501), "Einstellungen");
}
