// Dialling an entry aimed at a lab concentrator with the real pppd: the entry
// is written and listed by linewatch-cli in the system's peers folder, and
// the dial runner runs `pppd call` for it inside the monitor namespace. On
// machines without kernel PPP pppd stops at once; its own words and a line
// saying what is missing must reach the user.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "connections/dial_runner.h"
#include "connections/phonebook.h"
#include "lab/lab_fixture.h"
#include "test_support.h"

namespace lwlab {
namespace {

std::string CliPath() {
#ifdef LW_CLI
    return LW_CLI;
#else
    return "linewatch-cli";
#endif
}

// The entry in the system's folder, removed again whatever happens.
class SystemEntry {
  public:
    SystemEntry() : name_("lw-lab-dial-" + std::to_string(getpid())) {}
    ~SystemEntry() { std::filesystem::remove(Path()); }
    const std::string& Name() const { return name_; }
    std::string Path() const { return std::string(kDefaultPeersFolder) + "/" + name_; }

  private:
    std::string name_;
};

class DialLabTest : public LabTest {};

}  // namespace

TEST_F(DialLabTest, RealPppdCallForALabAcShowsPppdsWordsAndEnds) {
    if (!ProgramExists("pppd")) {
        GTEST_SKIP() << "pppd is not installed (Debian package ppp)";
    }
    SystemEntry entry;
    std::string output;
    ASSERT_EQ(RunProgram({CliPath(), "--create-connection", entry.Name(), "--ac",
                          std::string(kAc1Name), "-i", MonitorInterface()},
                         &output),
              0)
        << output;
    ASSERT_EQ(RunProgram({CliPath(), "--list-connections", std::string(kAc1Name)}, &output), 0);
    EXPECT_NE(output.find(entry.Name() + "\n"), std::string::npos) << output;
    ASSERT_EQ(RunProgram({CliPath(), "--list-connections", std::string(kAc2Name)}, &output), 0);
    EXPECT_EQ(output.find(entry.Name()), std::string::npos) << output;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    std::optional<DialOutcome> outcome;
    DialRequest request;
    request.entryName = entry.Name();
    request.user = "lab-user";
    request.password = "lab-password";
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

}  // namespace lwlab
