// Dialling an entry aimed at a lab concentrator with the real pppd: the entry
// is written and listed by linewatch-cli in the system's peers folder, and
// the dial runner runs `pppd call` for it inside the monitor namespace. On
// machines without kernel PPP pppd stops at once; its own words and a line
// saying what is missing must reach the user.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "connections/dial_runner.h"
#include "connections/phonebook.h"
#include "lab/lab_child.h"
#include "lab/lab_fixture.h"
#include "test_support.h"

namespace lwlab {
namespace {

// The entry in the system's folder, removed again whatever happens.
class SystemEntry {
  public:
    SystemEntry() : name_("lw-lab-dial-" + std::to_string(getpid())) {}
    ~SystemEntry() { std::filesystem::remove(Path()); }
    const std::string& Name() const { return name_; }
    std::string Path() const { return std::string(kDefaultPeersFolder) + "/" + name_; }

    // Writes the entry with linewatch-cli, aimed at the lab's first
    // concentrator on the monitor interface; fails with the program's output.
    testing::AssertionResult WriteForFirstAc() const {
        std::string output;
        if (RunProgram({CliPath(), "--create-connection", name_, "--ac", std::string(kAc1Name),
                        "-i", std::string(kMonitorInterface)},
                       &output) == 0) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << output;
    }
    // The dial request for the entry, with the lab's account.
    DialRequest Request() const {
        DialRequest request;
        request.entryName = name_;
        request.user = "lab-user";
        request.password = "lab-password";
        return request;
    }

  private:
    std::string name_;
};

// A real account for the test, in the given supplementary group (or none),
// removed again whatever happens.
class TestAccount {
  public:
    TestAccount(std::string name, const std::string& group) : name_(std::move(name)) {
        RunProgram({"userdel", name_});  // left over by an aborted run
        std::vector<std::string> add = {"useradd", "-M", "-N", "-s", "/bin/sh"};
        if (!group.empty()) {
            add.insert(add.end(), {"-G", group});
        }
        add.push_back(name_);
        created_ = RunProgram(add) == 0;
    }
    ~TestAccount() {
        if (created_) {
            RunProgram({"userdel", name_});
        }
    }
    TestAccount(const TestAccount&) = delete;
    TestAccount& operator=(const TestAccount&) = delete;
    bool Created() const { return created_; }
    const std::string& Name() const { return name_; }

  private:
    std::string name_;
    bool created_ = false;
};

class DialLabTest : public LabTest {};

}  // namespace

// An ordinary member of dip dials an entry the program wrote, with the dial
// runner's own arguments: pppd takes the password plugin from the entry and
// goes past the options, to where this machine stops it (no kernel PPP).
TEST_F(DialLabTest, ADipMemberDialsAnEntryTheProgramWrote) {
    if (!ProgramExists("pppd") || !ProgramExists("runuser") || !ProgramExists("useradd")) {
        GTEST_SKIP() << "needs pppd (Debian package ppp), runuser and useradd";
    }
    SystemEntry entry;
    ASSERT_TRUE(entry.WriteForFirstAc());
    std::string output;
    TestAccount member("lwu20d", "dip");
    ASSERT_TRUE(member.Created());

    const DialRequest request = entry.Request();
    const PasswordRoute route = ChoosePasswordRoute(request, false);
    EXPECT_EQ(route, PasswordRoute::Entry);
    const std::vector<std::string> argv = DialArguments(request, 3, route);
    EXPECT_EQ(std::count(argv.begin(), argv.end(), "plugin"), 0);
    // The password on descriptor 3, as the runner hands it over.
    TempFolder secret("lwdialpw");
    std::ofstream(secret.File("password")) << request.password;
    ASSERT_EQ(chmod(secret.Path().c_str(), 0755), 0);
    std::vector<std::string> command = {
        "runuser", "-u", member.Name(),          "--",
        "sh",      "-c", "exec \"$@\" 3<\"$0\"", secret.File("password")};
    command.insert(command.end(), argv.begin(), argv.end());
    int status = -1;
    {
        NetworkNamespaceScope inMonitor(MonitorNamespace());
        ASSERT_TRUE(inMonitor.entered()) << inMonitor.error();
        status = RunProgram(command, &output);
    }
    EXPECT_EQ(output.find("requires root privilege"), std::string::npos) << output;
    EXPECT_EQ(output.find("unrecognized option"), std::string::npos) << output;
    EXPECT_NE(output.find("Plugin passwordfd.so loaded"), std::string::npos) << output;
    EXPECT_NE(status, 2) << DescribePppdExit(status) << "\n" << output;  // no options error
    EXPECT_EQ(output.find("lab-password"), std::string::npos);
    struct stat info {};
    if (stat("/dev/ppp", &info) != 0) {
        EXPECT_NE(output.find("/dev/ppp"), std::string::npos) << output;
        EXPECT_NE(output.find("kernel does not support PPPoE"), std::string::npos) << output;
    }
}

TEST_F(DialLabTest, RealPppdCallForALabAcShowsPppdsWordsAndEnds) {
    if (!ProgramExists("pppd")) {
        GTEST_SKIP() << "pppd is not installed (Debian package ppp)";
    }
    SystemEntry entry;
    ASSERT_TRUE(entry.WriteForFirstAc());
    std::string output;
    ASSERT_EQ(RunProgram({CliPath(), "--list-connections", std::string(kAc1Name)}, &output), 0);
    EXPECT_NE(output.find(entry.Name() + "\n"), std::string::npos) << output;
    ASSERT_EQ(RunProgram({CliPath(), "--list-connections", std::string(kAc2Name)}, &output), 0);
    EXPECT_EQ(output.find(entry.Name()), std::string::npos) << output;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    std::optional<DialOutcome> outcome;
    const DialRequest request = entry.Request();
    pid_t pid = -1;
    {
        NetworkNamespaceScope inMonitor(MonitorNamespace());
        ASSERT_TRUE(inMonitor.entered()) << inMonitor.error();
        KtDialRunner runner;
        std::string error;
        ASSERT_TRUE(runner.Start(
            request,
            [&](const std::string& line) {
                std::scoped_lock lock(mutex);
                lines.push_back(line);
                changed.notify_all();
            },
            [&](const DialOutcome& end) {
                std::scoped_lock lock(mutex);
                outcome = end;
                changed.notify_all();
            },
            error))
            << error;
        pid = runner.ProcessId();
        {
            // The first words of pppd (or its end), then cancel: pppd ends
            // either way and the runner reports it.
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return !lines.empty() || outcome.has_value(); });
        }
        runner.Cancel();
        runner.Wait();
        EXPECT_EQ(runner.ProcessId(), -1);
    }
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->started);
    EXPECT_TRUE(pid <= 0 || kill(pid, 0) != 0);  // pppd is gone

    std::string shown;
    for (const std::string& line : lines) {
        shown += line + "\n";
    }
    for (const std::string& line : outcome->summary) {
        shown += line + "\n";
    }
    EXPECT_EQ(shown.find("lab-password"), std::string::npos);
    struct stat info {};
    if (stat("/dev/ppp", &info) != 0) {
        // pppd's own words about the missing device, then ours.
        EXPECT_NE(shown.find("/dev/ppp"), std::string::npos) << shown;
        EXPECT_NE(outcome->exitCode, 0) << shown;
        EXPECT_NE(shown.find("This machine has no kernel PPP: /dev/ppp is missing"),
                  std::string::npos)
            << shown;
    }
}

// The terminal leaves existing entries alone unless told to replace them, and
// never writes another folder than the one it was given.
TEST(CliConnectionRefusals, ExistingEntriesAndUnwritableFolders) {
    if (geteuid() != 0 || !ProgramExists("runuser") || !ProgramExists("useradd")) {
        GTEST_SKIP() << "needs root, runuser and useradd";
    }
    std::string output;
    TempFolder peers("lwclipeers");
    const std::string handWritten = "# mine\nplugin rp-pppoe.so\nuser \"me@isp\"\n";
    std::ofstream(peers.File("provider")) << handWritten;
    const std::vector<std::string> create = {
        CliPath(), "--create-connection", "provider",  "--ac", "Lab AC", "-i",
        "lo",      "--peers-dir",         peers.Path()};
    EXPECT_EQ(RunProgram(create, &output), 1);
    EXPECT_NE(output.find("already exists"), std::string::npos) << output;
    EXPECT_EQ(ReadFile(peers.File("provider")), handWritten);
    std::vector<std::string> replace = create;
    replace.push_back("--replace");
    EXPECT_EQ(RunProgram(replace, &output), 0) << output;
    EXPECT_NE(ReadFile(peers.File("provider")).find("pppoe-ac \"Lab AC\""), std::string::npos);

    // An ordinary user and a folder only root may write: refused, and
    // nothing lands in the system's folder instead.
    TestAccount user("lwu20n", "");
    ASSERT_TRUE(user.Created());
    ASSERT_EQ(chmod(peers.Path().c_str(), 0755), 0);
    const std::string name = "lw-i20-refused-" + std::to_string(getpid());
    EXPECT_EQ(RunProgram({"runuser", "-u", user.Name(), "--", CliPath(), "--create-connection",
                          name, "--ac", "Lab AC", "-i", "lo", "--peers-dir", peers.Path()},
                         &output),
              1);
    EXPECT_NE(output.find(peers.Path() + " refused it"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(peers.File(name)));
    EXPECT_FALSE(std::filesystem::exists(std::string(kDefaultPeersFolder) + "/" + name));
}

}  // namespace lwlab
