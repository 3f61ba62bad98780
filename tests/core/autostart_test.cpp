#include "core/storage/autostart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/file_system.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "test_support.h"

namespace {

constexpr const char* kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::vector<std::string> FileNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

class AutostartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lw-autostart-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        userFolder_ = dir_ + "/config/autostart";
        systemFolder_ = dir_ + "/xdg/autostart";
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, dir_ + "/user.db");
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, dir_ + "/machine.db");
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, userFolder_);
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, systemFolder_);
    }
    void TearDown() override {
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, "");
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, "");
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, "");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string dir_;
    std::string userFolder_;
    std::string systemFolder_;
};

using AutostartMount = AutostartTest;
using AutostartQuoting = AutostartTest;

TEST_F(AutostartMount, WritingTheValueWritesTheDesktopFileAndDeletingRemovesIt) {
    const std::string command = "\"/opt/line watchman/bin/linewatch\"";
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kRunKey, true, true));
    EXPECT_FALSE(user.ValueExists("Line Watchman"));
    user.WriteString("Line Watchman", command);

    const std::string file = userFolder_ + "/linewatch.desktop";
    const std::string text = ReadFile(file);
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nName=Line Watchman\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/line watchman/bin/linewatch\"\n"), std::string::npos);
    EXPECT_NE(text.find("\nX-GNOME-Autostart-enabled=true\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(FileNames(userFolder_),
              std::vector<std::string>{"linewatch.desktop"});  // no temp left

    EXPECT_TRUE(user.ValueExists("line watchman"));
    EXPECT_EQ(user.ReadString("Line Watchman", ""), command);
    EXPECT_TRUE(user.DeleteValue("Line Watchman"));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(user.ValueExists("Line Watchman"));
    EXPECT_FALSE(user.DeleteValue("Line Watchman"));
    // The value never reached the database.
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/user.db"));
}

TEST_F(AutostartMount, RunKeyOpensInAnySpellingWithoutADatabase) {
    KtRegistry machine(RegistryRoot::LocalMachine);
    EXPECT_TRUE(machine.Open("software\\MICROSOFT\\windows\\currentversion\\run", false, false));
    EXPECT_TRUE(machine.Open(kRunKey, false, false));
    EXPECT_FALSE(machine.ValueExists("Line Watchman"));
    KtRegistry stepwise(RegistryRoot::LocalMachine);
    ASSERT_TRUE(stepwise.Open("", false, false));
    EXPECT_FALSE(stepwise.Open("Software\\Microsoft", false, false));  // a real key: not there
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/machine.db"));
}

TEST_F(AutostartMount, EachRootHasItsOwnFile) {
    KtRegistry user(RegistryRoot::CurrentUser);
    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(user.Open(kRunKey, false, true));
    ASSERT_TRUE(machine.Open(kRunKey, false, true));
    machine.WriteString("Line Watchman", "\"/usr/bin/linewatch\"");
    EXPECT_TRUE(std::filesystem::exists(systemFolder_ + "/linewatch.desktop"));
    EXPECT_FALSE(user.ValueExists("Line Watchman"));
    EXPECT_TRUE(machine.ValueExists("Line Watchman"));
}

TEST_F(AutostartMount, OtherValuesUnderTheRunKeyStayInTheDatabase) {
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kRunKey, false, true));
    user.WriteString("Other Program", "/usr/bin/other");
    EXPECT_EQ(user.ReadString("Other Program"), "/usr/bin/other");
    EXPECT_FALSE(std::filesystem::exists(userFolder_ + "/linewatch.desktop"));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/user.db"));
    EXPECT_TRUE(user.DeleteValue("Other Program"));
}

TEST_F(AutostartMount, WritableOpenFollowsTheAutostartFolder) {
    std::ofstream(dir_ + "/blocker") << "x";
    XdgAutostart::SetFolder(RegistryRoot::LocalMachine, dir_ + "/blocker/autostart");
    KtRegistry machine(RegistryRoot::LocalMachine);
    EXPECT_FALSE(machine.Open(kRunKey, false, true));
    EXPECT_TRUE(machine.Open(kRunKey, false, false));
    EXPECT_FALSE(machine.ValueExists("Line Watchman"));
}

TEST_F(AutostartMount, TypedReadsAndWritesOfTheMountedValue) {
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kRunKey, false, true));
    user.WriteInt("Line Watchman", 5);  // not a command line: refused
    EXPECT_FALSE(user.ValueExists("Line Watchman"));
    ASSERT_TRUE(user.SetValue("Line Watchman", REG_EXPAND_SZ, std::string("/bin/lw\0", 8)));
    uint32_t type = REG_NONE;
    std::string data;
    ASSERT_TRUE(user.QueryValue("Line Watchman", type, data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, std::string("/bin/lw\0", 8));
    EXPECT_EQ(user.ReadInt("Line Watchman", 0), 0x6e69622f);  // "/bin", little-endian
}

TEST_F(AutostartMount, DisabledOrHiddenEntriesDoNotCount) {
    XdgAutostart entry(RegistryRoot::CurrentUser);
    ASSERT_TRUE(entry.Write("/usr/bin/linewatch"));
    std::string text = ReadFile(entry.FilePath());
    const std::string enabled = "X-GNOME-Autostart-enabled=true";
    text.replace(text.find(enabled), enabled.size(), "X-GNOME-Autostart-enabled=false");
    std::ofstream(entry.FilePath(), std::ios::trunc) << text;
    std::string value;
    EXPECT_FALSE(entry.Read(value));
    ASSERT_TRUE(entry.Write("/usr/bin/linewatch"));
    std::ofstream(entry.FilePath(), std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(entry.Read(value));
}

TEST_F(AutostartMount, EntryWrittenByOthersReadsFromItsExecLine) {
    std::filesystem::create_directories(systemFolder_);
    std::ofstream(systemFolder_ + "/linewatch.desktop")
        << "# installed by the package\n"
           "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Line Watchman\n"
           "Exec = \"/usr/lib/line watchman/linewatch\" --tray %U\n"
           "[Desktop Action Other]\n"
           "Exec=/bin/false\n";
    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open(kRunKey, false, false));
    EXPECT_EQ(machine.ReadString("Line Watchman"), "\"/usr/lib/line watchman/linewatch\" --tray");
}

TEST_F(AutostartMount, HandEditedExecWinsOverTheStoredValue) {
    XdgAutostart entry(RegistryRoot::CurrentUser);
    ASSERT_TRUE(entry.Write("\"/usr/bin/linewatch\""));
    std::string text = ReadFile(entry.FilePath());
    const std::string exec = "Exec=/usr/bin/linewatch";
    ASSERT_NE(text.find(exec), std::string::npos) << text;
    text.replace(text.find(exec), exec.size(), "Exec=/usr/local/bin/linewatch --min");
    std::ofstream(entry.FilePath(), std::ios::trunc) << text;
    std::string value;
    ASSERT_TRUE(entry.Read(value));
    EXPECT_EQ(value, "/usr/local/bin/linewatch --min");
}

TEST_F(AutostartMount, RefusesWhatADesktopFileCannotHold) {
    XdgAutostart entry(RegistryRoot::CurrentUser);
    EXPECT_FALSE(entry.Write(""));
    EXPECT_FALSE(entry.Write("   "));
    EXPECT_FALSE(entry.Write("\"\" arg"));
    EXPECT_FALSE(entry.Write(std::string("/bin/lw\0x", 9)));
    EXPECT_FALSE(entry.Write("/bin/lw \x01"));
    EXPECT_FALSE(std::filesystem::exists(entry.FilePath()));
}

TEST_F(AutostartMount, FoldersFollowTheEnvironmentWhenNotSet) {
    XdgAutostart::SetFolder(RegistryRoot::CurrentUser, "");
    XdgAutostart::SetFolder(RegistryRoot::LocalMachine, "");
    setenv("LW_USER_AUTOSTART_DIR", "/a/user", 1);
    setenv("LW_SYSTEM_AUTOSTART_DIR", "/a/system", 1);
    EXPECT_EQ(XdgAutostart::Folder(RegistryRoot::CurrentUser), "/a/user");
    EXPECT_EQ(XdgAutostart::Folder(RegistryRoot::LocalMachine), "/a/system");
    unsetenv("LW_USER_AUTOSTART_DIR");
    unsetenv("LW_SYSTEM_AUTOSTART_DIR");
    EXPECT_EQ(XdgAutostart::Folder(RegistryRoot::LocalMachine), "/etc/xdg/autostart");
    EXPECT_EQ(XdgAutostart::Folder(RegistryRoot::CurrentUser), XdgConfigHome() + "/autostart");
}

// Command lines whose every byte must come back from the desktop file.
class AutostartRoundTrip : public AutostartTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(AutostartRoundTrip, ReadingBackGivesExactlyWhatWasWritten) {
    const std::string command = GetParam();
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kRunKey, true, true));
    user.WriteString("Line Watchman", command);
    ASSERT_TRUE(user.ValueExists("Line Watchman"));
    EXPECT_EQ(user.ReadString("Line Watchman"), command);
    // Exec itself must carry the same arguments, or the desktop would start
    // something else than the value says.
    std::vector<std::string> fromValue;
    std::vector<std::string> fromExec;
    ASSERT_TRUE(XdgAutostart::SplitCommandLine(command, fromValue));
    const std::string text = ReadFile(userFolder_ + "/linewatch.desktop");
    const size_t exec = text.find("\nExec=") + 6;
    const std::string line = text.substr(exec, text.find('\n', exec) - exec);
    ASSERT_TRUE(XdgAutostart::SplitExec(XdgAutostart::UnescapeString(line), fromExec)) << line;
    EXPECT_EQ(fromExec, fromValue) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Values, AutostartRoundTrip,
    ::testing::Values("\"/usr/bin/linewatch\"", "/usr/bin/linewatch",
                      "\"/opt/Line Watchman/linewatch\"", "  \"/opt/x/lw\"  ",
                      "\"/opt/x/lw\" --level 50% \"%U\" %%", "\"/opt/x/lw\" \"say \\\"hi\\\"\"",
                      "/opt/x/lw 'single quoted' $HOME `id` a;b a|b a&b (x) *?#~<>",
                      "/opt/x/lw C:\\path\\ \"trail\\\\\" back\\\\slash",
                      "/opt/x/lw \"tab\there\" \"new\nline\" \"cr\rhere\"",
                      "/opt/dir\\with\\backslash/lw", "/opt/x/lw \"\" empty",
                      "\"/opt/\xC3\xA9t\xC3\xA9/lw\""));

TEST_F(AutostartQuoting, ExecFollowsTheDesktopEntryRules) {
    std::vector<std::string> args = {"/opt/a b/lw", "50%",         "x\"y", "$v",
                                     "plain",       "back\\slash", ""};
    EXPECT_EQ(XdgAutostart::ExecFromArguments(args),
              "\"/opt/a b/lw\" 50%% \"x\\\"y\" \"\\$v\" plain \"back\\\\slash\" \"\"");
    // In the file the string escapes come on top: a literal backslash inside a
    // quoted argument is written as four.
    EXPECT_EQ(XdgAutostart::EscapeString(XdgAutostart::ExecFromArguments({"back\\slash"})),
              "\"back\\\\\\\\slash\"");
    EXPECT_EQ(XdgAutostart::EscapeString(" a\tb "), "\\sa\\tb\\s");
}

TEST_F(AutostartQuoting, WindowsCommandLineRules) {
    std::vector<std::string> args;
    ASSERT_TRUE(XdgAutostart::SplitCommandLine(
        "\"C:\\Program Files\\lw.exe\" a\\\\\\\"b \"c d\" e\\\\\"f g\" h\\i", args));
    EXPECT_EQ(args, (std::vector<std::string>{"C:\\Program Files\\lw.exe", "a\\\"b", "c d",
                                              "e\\f g", "h\\i"}));
    EXPECT_EQ(XdgAutostart::JoinCommandLine(args),
              "\"C:\\Program Files\\lw.exe\" \"a\\\\\\\"b\" \"c d\" \"e\\f g\" h\\i");
    EXPECT_FALSE(XdgAutostart::SplitCommandLine(" \t ", args));
}

}  // namespace
