// The System and PPPoE driver pages against real files and stores: the
// autostart entries and the driver value, the machine-wide side written by the
// built linewatch-elevated behind a launcher that stands in for pkexec.

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QPushButton>
#include <filesystem>
#include <fstream>

#include "core/elevation/admin_operation.h"
#include "core/program_paths.h"
#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "options_test_support.h"
#include "test_support.h"

#ifndef LW_TEST_ELEVATED_HELPER
#error "LW_TEST_ELEVATED_HELPER must name the built linewatch-elevated"
#endif

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr const char* kDriverText = "{4D36E972-E325-11CE-BFC1-08002bE10318}\\0001";

// This thread without the right to bypass file permissions, as a standard
// user is: machine-wide files owned by someone else cannot be written here,
// while the helper, started as root, gets its full rights back.
class StandardUser {
  public:
    StandardUser() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        if (syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~StandardUser() {
        if (active_) syscall(SYS_capset, &header_, saved_);
    }
    bool Active() const { return active_; }

  private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

class ElevatedPages : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        if (geteuid() != 0) GTEST_SKIP() << "needs root to stand in for the machine-wide owner";
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, temp_.File("hkcu.db"));
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, Machine("hklm.db"));
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, temp_.File("user-autostart"));
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, Machine("autostart"));
        // The machine-wide places belong to someone else, as /etc does.
        fs::create_directories(Machine("autostart"));
        ASSERT_EQ(chown(Machine("").c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chown(Machine("autostart").c_str(), kNobody, kNobody), 0);
        for (int i = 0; i < 2; ++i) {
            const int32_t id = i == 0 ? kPropSysLanguageFile : kPropLaunchOnStartup;
            settings_.list.SetProperty(id, SettingDescriptors().at(id).defaultValue);
        }
    }
    void TearDown() override {
        KtAdminOperation::ReleaseInstance();
        KtAdminOperation::SetLaunchCommand({});
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, "");
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, "");
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, "");
    }

    std::string Machine(const std::string& name) const {
        fs::create_directories(temp_.File("machine"));
        return temp_.File("machine/" + name);
    }
    // Each start of the launcher is one consent prompt; the first `declines`
    // are refused as pkexec refuses them, later ones run the real helper.
    void UseLauncher(int declines) {
        const std::string path = temp_.File("launch.sh");
        std::ofstream(path) << "#!/bin/sh\necho prompt >> '" << temp_.File("prompts") << "'\n"
                            << "n=$(wc -l < '" << temp_.File("prompts") << "')\n"
                            << "if [ \"$n\" -le " << declines << " ]; then exit 126; fi\n"
                            << "exec '" << LW_TEST_ELEVATED_HELPER << "' --serve --hklm-db '"
                            << Machine("hklm.db") << "' --system-autostart-dir '"
                            << Machine("autostart") << "'\n";
        chmod(path.c_str(), 0755);
        KtAdminOperation::SetLaunchCommand({"/bin/sh", path});
    }
    size_t Prompts() const {
        std::ifstream in(temp_.File("prompts"));
        size_t lines = 0;
        for (std::string line; std::getline(in, line);) ++lines;
        return lines;
    }
    std::string UserEntry() const { return temp_.File("user-autostart/linewatch.desktop"); }
    std::string SystemEntry() const { return Machine("autostart/linewatch.desktop"); }

    void SeedDriver(int32_t endpoints) {
        KtRegistry device(RegistryRoot::LocalMachine);
        ASSERT_TRUE(device.Open("\\" + std::string(kPppoeDeviceKey), true, true));
        device.WriteString("Driver", kDriverText);
        KtRegistry key(RegistryRoot::LocalMachine);
        ASSERT_TRUE(key.Open("\\" + std::string(kAdapterClassPrefix) + kDriverText, true, true));
        key.WriteInt("WanEndpoints", endpoints);
        ASSERT_EQ(chown(Machine("hklm.db").c_str(), kNobody, kNobody), 0);
    }

    TempFolder temp_{"lw-options-elevated"};
    RecordedList settings_;
    ScriptedDialogs dialogs_;
};

}  // namespace

TEST_F(ElevatedPages, StartUpMovesFromOffToTheUserAndToAllUsersWithOnePromptEachTime) {
    UseLauncher(1);
    COptionsForm form(settings_.list, {&dialogs_, ""});
    auto* page = qobject_cast<COptionsFormPgGenDlg*>(form.CurrentPage());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->ModeLabel()->text(), "Disabled");

    // Off to the current user: a valid desktop entry naming the program that
    // runs (here the test), quoted, not the installed one.
    dialogs_.startupModes = {1};
    page->Change();
    ASSERT_TRUE(fs::is_regular_file(UserEntry()));
    EXPECT_NE(ReadFile(UserEntry()).find("X-LineWatchman-Value=\"" + GetProgramPath() + "\"\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(UserEntry()).find(KtAdminOperation::ProgramRunCommand()), std::string::npos);
    if (fs::exists("/usr/bin/desktop-file-validate")) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + UserEntry() + "'").c_str()), 0);
    }
    EXPECT_EQ(page->ModeLabel()->text(), "Enabled for current user only");
    EXPECT_EQ(form.Editor().GetProperty(kPropLaunchOnStartup).AsInt(), 1);

    StandardUser user;
    ASSERT_TRUE(user.Active());
    // Declined: both entries stay, the page says so, one prompt.
    dialogs_.startupModes = {2};
    page->Change();
    EXPECT_EQ(Prompts(), 1u);
    EXPECT_TRUE(fs::exists(UserEntry()));
    EXPECT_FALSE(fs::exists(SystemEntry()));
    EXPECT_EQ(page->ModeLabel()->text(), "Enabled for current user only");
    EXPECT_FALSE(page->NoticeLabel()->text().isEmpty());

    // Accepted: the system entry appears and the user's goes.
    dialogs_.startupModes = {2};
    page->Change();
    EXPECT_EQ(Prompts(), 2u);
    EXPECT_TRUE(fs::is_regular_file(SystemEntry()));
    EXPECT_FALSE(fs::exists(UserEntry()));
    EXPECT_EQ(page->ModeLabel()->text(), "Enabled for all users of this computer");
    // The all users' entry starts the installed program only.
    EXPECT_NE(ReadFile(SystemEntry()).find(KtAdminOperation::ProgramRunCommand()),
              std::string::npos);
    if (fs::exists("/usr/bin/desktop-file-validate")) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + SystemEntry() + "'").c_str()), 0);
    }
    EXPECT_TRUE(page->NoticeLabel()->text().isEmpty());
    EXPECT_EQ(dialogs_.startupModesShown, (std::vector<int>{0, 1, 1}));

    // Back to off with the helper of this run: no new prompt.
    dialogs_.startupModes = {0};
    page->Change();
    EXPECT_EQ(Prompts(), 2u);
    EXPECT_FALSE(fs::exists(SystemEntry()));
    EXPECT_EQ(form.Editor().GetProperty(kPropLaunchOnStartup).AsInt(), 0);
    // Cancel: the entries were changed when the dialog was confirmed, not by OK.
    form.OnCancel();
    EXPECT_TRUE(settings_.batches.empty());
}

TEST_F(ElevatedPages, ThePageShowsTheEntriesOnDiskAndEveryChoiceMakesThemSo) {
    // Chosen in one options window, which is then cancelled: the next one
    // shows the entry that was written.
    {
        COptionsForm form(settings_.list, {&dialogs_, ""});
        auto* page = qobject_cast<COptionsFormPgGenDlg*>(form.CurrentPage());
        dialogs_.startupModes = {1};
        page->Change();
        ASSERT_TRUE(fs::exists(UserEntry()));
        form.OnCancel();
    }
    EXPECT_EQ(settings_.list.GetProperty(kPropLaunchOnStartup).AsInt(), 0);
    {
        COptionsForm form(settings_.list, {&dialogs_, ""});
        auto* page = qobject_cast<COptionsFormPgGenDlg*>(form.CurrentPage());
        EXPECT_EQ(page->ModeLabel()->text(), "Enabled for current user only");
        // The dialog starts at the real mode; Disabled removes the entry.
        dialogs_.startupModes = {0};
        page->Change();
        EXPECT_EQ(dialogs_.startupModesShown.back(), 1);
        EXPECT_FALSE(fs::exists(UserEntry()));
        EXPECT_EQ(page->ModeLabel()->text(), "Disabled");
        EXPECT_TRUE(page->NoticeLabel()->text().isEmpty());

        // Both entries made by hand: the page shows all users; Disabled
        // removes both, and the program no longer starts at log-in.
        XdgAutostart(RegistryRoot::CurrentUser).Write("\"/opt/old/linewatch\"");
        XdgAutostart(RegistryRoot::LocalMachine).Write(KtAdminOperation::ProgramRunCommand());
        dialogs_.startupModes = {-1};
        page->Change();  // cancelled: the page shows what is there now
        EXPECT_EQ(page->ModeLabel()->text(), "Enabled for all users of this computer");
        dialogs_.startupModes = {0};
        page->Change();
        EXPECT_FALSE(fs::exists(UserEntry()));
        EXPECT_FALSE(fs::exists(SystemEntry()));
        EXPECT_EQ(page->ModeLabel()->text(), "Disabled");

        // Current user over an entry of all users: only the user's remains,
        // so the program starts once.
        XdgAutostart(RegistryRoot::LocalMachine).Write(KtAdminOperation::ProgramRunCommand());
        dialogs_.startupModes = {1};
        page->Change();
        EXPECT_TRUE(fs::exists(UserEntry()));
        EXPECT_FALSE(fs::exists(SystemEntry()));
        EXPECT_EQ(page->ModeLabel()->text(), "Enabled for current user only");
        dialogs_.startupModes = {0};
        page->Change();
    }
}

TEST_F(ElevatedPages, TheDriverValueIsWrittenThroughTheHelperAndReadBack) {
    SeedDriver(5);
    UseLauncher(1);
    StandardUser user;
    ASSERT_TRUE(user.Active());
    COptionsForm form(settings_.list, {&dialogs_, ""});
    auto* page = ShowPage<COptionsFormPgNet>(form, "PPPoE driver");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->NumberEdit()->text(), "5");

    dialogs_.numbers = {10, 10};
    page->Change();  // declined
    EXPECT_EQ(page->NumberEdit()->text(), "5");
    EXPECT_FALSE(page->NoticeLabel()->text().isEmpty());
    page->Change();
    EXPECT_EQ(page->NumberEdit()->text(), "10");
    EXPECT_EQ(Prompts(), 2u);
    EXPECT_EQ(dialogs_.numberDialogs.back(), (std::vector<int>{1, 100, 5}));
    dialogs_.numbers = {-1};  // cancelled: nothing written
    page->Change();
    EXPECT_EQ(page->NumberEdit()->text(), "10");
}

TEST_F(ElevatedPages, OneRangeOfEndpointsHoldsAsRootAndThroughTheHelper) {
    SeedDriver(5);
    // As root the class key is written here; a number past the range is
    // refused as the helper refuses it.
    EXPECT_FALSE(WriteWanEndpoints(150));
    EXPECT_FALSE(WriteWanEndpoints(0));
    EXPECT_EQ(ReadWanEndpoints(), 5);
    EXPECT_TRUE(WriteWanEndpoints(100));
    EXPECT_EQ(ReadWanEndpoints(), 100);
    UseLauncher(0);
    StandardUser user;
    ASSERT_TRUE(user.Active());
    EXPECT_FALSE(WriteWanEndpoints(101));
    EXPECT_EQ(Prompts(), 0u);
    EXPECT_TRUE(WriteWanEndpoints(1));
    EXPECT_EQ(ReadWanEndpoints(), 1);
    // The dialog offers the same range.
    COptionsForm form(settings_.list, {&dialogs_, ""});
    auto* page = ShowPage<COptionsFormPgNet>(form, "PPPoE driver");
    dialogs_.numbers = {-1};
    page->Change();
    EXPECT_EQ(dialogs_.numberDialogs.back(),
              (std::vector<int>{kMinWanEndpoints, kMaxWanEndpoints, 1}));
}

TEST(DriverPage, AValueThatCannotBeReadIsShownAsSuchAndCannotBeChanged) {
    TestApplication();
    TempFolder temp("lw-options-driver");
    KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, temp.File("hklm.db"));
    RecordedList settings;
    ScriptedDialogs dialogs;
    {
        COptionsForm form(settings.list, {&dialogs, ""});
        auto* page = ShowPage<COptionsFormPgNet>(form, "PPPoE driver");
        EXPECT_EQ(page->NumberEdit()->text(), "");
        EXPECT_FALSE(page->ChangeButton()->isEnabled());
        EXPECT_FALSE(page->NoticeLabel()->text().isEmpty());
    }
    KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");

    // The number dialog: the arrows stop at the bounds, and a typed number
    // outside them is refused, saying which are taken.
    CNumValEdit dialog(nullptr, dialogs, 1, 100, 99);
    dialog.Edit()->setText("x");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"Enter an integer."});
    for (const char* refused : {"0", "150", "-3"}) {
        dialog.Edit()->setText(refused);
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Rejected) << refused;
        EXPECT_EQ(dialogs.errors.back(), "Enter an integer between 1 and 100.");
    }
    dialog.Edit()->setText("99");
    dialog.findChild<KtNumberSpin*>()->stepBy(1);
    dialog.findChild<KtNumberSpin*>()->stepBy(1);
    EXPECT_EQ(dialog.Edit()->text(), "100");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Value(), 100);
}
