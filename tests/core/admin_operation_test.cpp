#include "core/elevation/admin_operation.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/elevation/elevated_registry.h"
#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "test_support.h"

#ifndef LW_TEST_ELEVATED_HELPER
#error "LW_TEST_ELEVATED_HELPER must name the built linewatch-elevated"
#endif

namespace {

constexpr const char* kOptionsKey = "Software\\Tarnweld Software\\Line Watchman\\Options";
constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kDriverKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0001";

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A launch command that stands in for pkexec: each start is one "prompt",
// recorded with its arguments; the first `declines` prompts end as a declined
// pkexec does (exit 126), later ones run the real helper against a temporary
// machine-wide store.
class AdminOperationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lw-admin-XXXXXX";
        dir_ = mkdtemp(pattern);
        database_ = dir_ + "/hklm.db";
        autostart_ = dir_ + "/autostart";
        prompts_ = dir_ + "/prompts";
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, database_);
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, autostart_);
    }

    void TearDown() override {
        KtAdminOperation::ReleaseInstance();
        KtAdminOperation::SetLaunchCommand({});
        unsetenv("LW_ELEVATE_COMMAND");
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, "");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Writes the stand-in script; `tail` is what it does after the declines.
    std::string WriteLauncher(int declines, const std::string& tail) {
        std::string path = dir_ + "/launch.sh";
        std::ofstream out(path);
        out << "#!/bin/sh\n"
            << "echo \"$*\" >> '" << prompts_ << "'\n"
            << "n=$(wc -l < '" << prompts_ << "')\n"
            << "if [ \"$n\" -le " << declines << " ]; then exit 126; fi\n"
            << tail << "\n";
        out.close();
        chmod(path.c_str(), 0755);
        return path;
    }

    std::string HelperTail() const {
        return std::string("exec '") + LW_TEST_ELEVATED_HELPER + "' --serve --hklm-db '" +
               database_ + "' --system-autostart-dir '" + autostart_ + "'";
    }

    size_t Prompts() const { return ReadLines(prompts_).size(); }

    // The driver key the install step seeds, for the helper to write into.
    void SeedDriverKey() {
        KtRegistry machine(RegistryRoot::LocalMachine);
        ASSERT_TRUE(machine.Open(std::string("\\") + kDriverKey, true, true));
        machine.WriteInt("WanEndpoints", 1);
    }

    std::string dir_;
    std::string database_;
    std::string autostart_;
    std::string prompts_;
};

}  // namespace

TEST_F(AdminOperationTest, DecliningTwicePromptsTwiceThenAcceptingIsCachedForTheRun) {
    KtAdminOperation::SetLaunchCommand({"/bin/sh", WriteLauncher(2, HelperTail())});
    SeedDriverKey();

    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), nullptr);
    EXPECT_EQ(Prompts(), 1u);
    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), nullptr);
    EXPECT_EQ(Prompts(), 2u);

    KtElevatedInterface* elevated = KtAdminOperation::GetElevatedInterface();
    ASSERT_NE(elevated, nullptr);
    EXPECT_EQ(Prompts(), 3u);

    EXPECT_EQ(KtAdminOperation::WriteInt(kDriverKey, "WanEndpoints", 4), S_OK);
    EXPECT_EQ(KtAdminOperation::WriteString(kRunKey, "Line Watchman",
                                            KtAdminOperation::ProgramRunCommand()),
              S_OK);
    EXPECT_EQ(elevated->WriteInt(kDriverKey, "WanEndpoints", 7), S_OK);
    EXPECT_TRUE(KtAdminOperation::IsElevationAvailable());
    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), elevated);
    EXPECT_EQ(Prompts(), 3u);

    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open(std::string("\\") + kDriverKey, false, false));
    EXPECT_EQ(machine.ReadInt("wanendpoints", 0), 7);
    ASSERT_TRUE(machine.Open(std::string("\\") + kRunKey, false, false));
    EXPECT_EQ(machine.ReadString("Line Watchman", ""), KtAdminOperation::ProgramRunCommand());
}

TEST_F(AdminOperationTest, ConvenienceFormsFailWithoutHelperAndAskEachTime) {
    KtAdminOperation::SetLaunchCommand({"/bin/sh", WriteLauncher(100, "")});
    EXPECT_EQ(KtAdminOperation::WriteString(kOptionsKey, "A", "b"), E_FAIL);
    EXPECT_EQ(KtAdminOperation::WriteInt(kOptionsKey, "A", 1), E_FAIL);
    EXPECT_EQ(KtAdminOperation::DeleteValue(kOptionsKey, "A"), E_FAIL);
    EXPECT_FALSE(KtAdminOperation::IsElevationAvailable());
    EXPECT_EQ(Prompts(), 4u);
}

TEST_F(AdminOperationTest, EnvironmentCommandReplacesPkexecAndGetsHelperPathAndServe) {
    setenv("LW_ELEVATE_COMMAND", WriteLauncher(1, "").c_str(), 1);
    std::vector<std::string> command = KtAdminOperation::LaunchCommand();
    ASSERT_EQ(command.size(), 3u);
    EXPECT_EQ(command[1], KtAdminOperation::HelperPath());
    EXPECT_EQ(command[2], "--serve");

    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), nullptr);
    std::vector<std::string> lines = ReadLines(prompts_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], KtAdminOperation::HelperPath() + " --serve");

    // The setter wins over the variable.
    KtAdminOperation::SetLaunchCommand({"/bin/sh", "-c", "exit 126"});
    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), nullptr);
    EXPECT_EQ(Prompts(), 1u);
}

TEST_F(AdminOperationTest, DefaultCommandIsPkexecOfTheInstalledHelper) {
    unsetenv("LW_ELEVATE_COMMAND");
    std::vector<std::string> command = KtAdminOperation::LaunchCommand();
    ASSERT_EQ(command.size(), 3u);
    EXPECT_EQ(command[0], "pkexec");
    EXPECT_EQ(command[1], KtAdminOperation::HelperPath());
    EXPECT_EQ(command[1].front(), '/');
    EXPECT_EQ(command[2], "--serve");
}

TEST_F(AdminOperationTest, MissingLauncherGivesNoInterface) {
    KtAdminOperation::SetLaunchCommand({dir_ + "/no-such-launcher"});
    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), nullptr);
    EXPECT_EQ(KtAdminOperation::WriteInt(kOptionsKey, "A", 1), E_FAIL);
}

TEST_F(AdminOperationTest, WrongGreetingGivesNoInterfaceAndNextRequestAsksAgain) {
    // Answers with something else and then keeps reading, as a confused
    // program would; it must be ended, not waited for forever.
    KtAdminOperation::SetLaunchCommand(
        {"/bin/sh", WriteLauncher(0, "echo 'Password:'; exec cat > /dev/null")});
    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), nullptr);
    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), nullptr);
    EXPECT_EQ(Prompts(), 2u);
}

TEST_F(AdminOperationTest, HelperThatGoesAwayIsStartedAgainBehindTheSamePointer) {
    // Greets, then ends without answering: the write fails, and the next
    // request starts a new helper (a new prompt) behind the same interface.
    KtAdminOperation::SetLaunchCommand(
        {"/bin/sh", WriteLauncher(0, "echo 'LWELEVATED/1 READY'; exit 0")});
    KtElevatedInterface* first = KtAdminOperation::GetElevatedInterface();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->WriteInt(kOptionsKey, "A", 1), E_FAIL);
    EXPECT_EQ(first->WriteInt(kOptionsKey, "A", 1), E_FAIL);
    EXPECT_EQ(Prompts(), 1u);
    EXPECT_EQ(KtAdminOperation::GetElevatedInterface(), first);
    EXPECT_EQ(Prompts(), 2u);
}

TEST_F(AdminOperationTest, ReleasingTheInstanceEndsTheHelperAndTheNextRequestAsksAgain) {
    // Not exec: the script outlives the helper and notes that it ended, so the
    // note is there once ReleaseInstance has waited for the script.
    std::string ended = dir_ + "/ended";
    std::string tail = HelperTail().substr(5) + "; echo $? > '" + ended + "'";
    KtAdminOperation::SetLaunchCommand({"/bin/sh", WriteLauncher(0, tail)});
    KtAdminOperation::Instance();
    ASSERT_NE(KtAdminOperation::GetElevatedInterface(), nullptr);
    KtAdminOperation::ReleaseInstance();
    EXPECT_EQ(ReadFile(ended), "0\n");

    ASSERT_NE(KtAdminOperation::GetElevatedInterface(), nullptr);
    EXPECT_EQ(Prompts(), 2u);
}

TEST_F(AdminOperationTest, OversizedRequestIsRefusedWithoutEndingTheSession) {
    KtAdminOperation::SetLaunchCommand({"/bin/sh", WriteLauncher(0, HelperTail())});
    KtElevatedInterface* elevated = KtAdminOperation::GetElevatedInterface();
    ASSERT_NE(elevated, nullptr);
    EXPECT_EQ(elevated->WriteString(kRunKey, "Line Watchman", std::string(5000, 'v')),
              E_INVALIDARG);
    EXPECT_EQ(
        elevated->WriteString(kRunKey, "Line Watchman", KtAdminOperation::ProgramRunCommand()),
        S_OK);
    EXPECT_EQ(Prompts(), 1u);
}

TEST_F(AdminOperationTest, ElevatedRegistryRunKeyRoundTripWritesAndRemovesSystemAutostart) {
    KtAdminOperation::SetLaunchCommand({"/bin/sh", WriteLauncher(0, HelperTail())});
    KtElevatedInterface* elevated = KtAdminOperation::GetElevatedInterface();
    ASSERT_NE(elevated, nullptr);

    KtElevatedRegistry run;
    run.SetElevatedInterface(elevated);
    ASSERT_TRUE(run.Open(kRunKey));
    std::string file = autostart_ + "/linewatch.desktop";
    // The value the program writes is the installed program's own command.
    run.WriteString("Line Watchman", KtAdminOperation::ProgramRunCommand());
    EXPECT_NE(ReadFile(file).find("Exec=" + KtAdminOperation::ProgramPath() + "\n"),
              std::string::npos);

    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open(std::string("\\") + kRunKey, true, false));
    EXPECT_EQ(machine.ReadString("Line Watchman", ""), KtAdminOperation::ProgramRunCommand());

    EXPECT_TRUE(run.DeleteValue("Line Watchman"));
    EXPECT_FALSE(machine.ValueExists("Line Watchman"));
    struct stat info {};
    EXPECT_NE(stat(file.c_str(), &info), 0);
    // Gone already: the helper does not report a second delete as done.
    EXPECT_FALSE(run.DeleteValue("Line Watchman"));
}

TEST(ElevatedRegistry, WithoutInterfaceWritesNothingAndDeleteFails) {
    KtElevatedRegistry storage;
    EXPECT_TRUE(storage.Open("Software\\Tarnweld Software\\Line Watchman\\Options"));
    EXPECT_EQ(storage.KeyPath(), "Software\\Tarnweld Software\\Line Watchman\\Options");
    storage.WriteString("A", "b");
    storage.WriteInt("A", 1);
    EXPECT_FALSE(storage.DeleteValue("A"));
}

TEST(ElevatedRegistry, ReadsGiveDefaultsAndEveryValueExists) {
    KtElevatedRegistry storage;
    storage.Open("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    EXPECT_TRUE(storage.ValueExists("anything"));
    EXPECT_EQ(storage.ReadString("Line Watchman", "fallback"), "fallback");
    EXPECT_EQ(storage.ReadString("Line Watchman"), "");
    EXPECT_EQ(storage.ReadInt("WanEndpoints", 9), 9);
    EXPECT_EQ(storage.ReadInt("WanEndpoints"), 0);
}

namespace {

// Records what reaches the interface, to check the key path and that results
// are passed on (delete) or ignored (writes).
class RecordingInterface : public KtElevatedInterface {
  public:
    int32_t WriteString(std::string_view keyPath, std::string_view name,
                        std::string_view value) override {
        calls.push_back("WS " + std::string(keyPath) + "|" + std::string(name) + "|" +
                        std::string(value));
        return E_ACCESSDENIED;
    }
    int32_t WriteInt(std::string_view keyPath, std::string_view name, int32_t value) override {
        calls.push_back("WI " + std::string(keyPath) + "|" + std::string(name) + "|" +
                        std::to_string(value));
        return E_FAIL;
    }
    int32_t DeleteValue(std::string_view keyPath, std::string_view name) override {
        calls.push_back("DV " + std::string(keyPath) + "|" + std::string(name));
        return deleteResult;
    }
    int32_t WritePeersEntry(std::string_view entryName, std::string_view interface,
                            std::string_view acName, PeersReplace) override {
        calls.push_back("WP " + std::string(entryName) + "|" + std::string(interface) + "|" +
                        std::string(acName));
        return E_FAIL;
    }
    std::vector<std::string> calls;
    int32_t deleteResult = S_OK;
};

}  // namespace

TEST(ElevatedRegistry, PassesTheStoredKeyPathAndTurnsDeleteResultIntoBoolean) {
    RecordingInterface recorder;
    KtElevatedRegistry storage;
    storage.SetElevatedInterface(&recorder);
    storage.Open(
        "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0001");
    storage.WriteInt("WanEndpoints", 10);
    storage.WriteString("Name", "text");
    EXPECT_TRUE(storage.DeleteValue("Name"));
    recorder.deleteResult = E_NOT_FOUND;
    EXPECT_FALSE(storage.DeleteValue("Name"));
    const std::string key =
        "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0001";
    ASSERT_EQ(recorder.calls.size(), 4u);
    EXPECT_EQ(recorder.calls[0], "WI " + key + "|WanEndpoints|10");
    EXPECT_EQ(recorder.calls[1], "WS " + key + "|Name|text");
    EXPECT_EQ(recorder.calls[2], "DV " + key + "|Name");
}
