#include "connections/dial_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "connections/phonebook.h"
#include "test_support.h"

namespace {

// Collects what the runner reports, from its thread, for the test to wait on.
class DialRecord {
  public:
    KtDialRunner::LineHandler Lines() {
        return [this](const std::string& line) {
            std::scoped_lock lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }
    KtDialRunner::EndHandler End() {
        return [this](const DialOutcome& outcome) {
            std::scoped_lock lock(mutex_);
            outcome_ = outcome;
            ended_ = true;
            changed_.notify_all();
        };
    }
    void WaitForLine(const std::string& line) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return ended_ || std::find(lines_.begin(), lines_.end(), line) != lines_.end();
        });
    }
    std::vector<std::string> LinesSoFar() {
        std::scoped_lock lock(mutex_);
        return lines_;
    }
    DialOutcome Outcome() {
        std::scoped_lock lock(mutex_);
        return outcome_;
    }
    bool Ended() {
        std::scoped_lock lock(mutex_);
        return ended_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    DialOutcome outcome_;
    bool ended_ = false;
};

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

}  // namespace

TEST(DialArguments, CallTheEntryAndKeepThePasswordOffTheCommandLine) {
    DialRequest request;
    request.entryName = "isp & co";
    request.user = "bob@isp";
    request.password = "s3cret";
    // The entry loads the password plugin: no `plugin` on the command line,
    // which pppd takes from root only.
    EXPECT_EQ(DialArguments(request, 3),
              (std::vector<std::string>{"/usr/sbin/pppd", "call", "isp & co", "updetach", "user",
                                        "bob@isp", "passwordfd", "3"}));
    EXPECT_EQ(DialArguments(request, 3, PasswordRoute::CommandLine),
              (std::vector<std::string>{"/usr/sbin/pppd", "call", "isp & co", "updetach", "user",
                                        "bob@isp", "plugin", "passwordfd.so", "passwordfd", "3"}));
    request.peersFolder = "/tmp/peers";
    request.password.clear();
    EXPECT_EQ(DialArguments(request, 3),
              (std::vector<std::string>{"/usr/sbin/pppd", "file", "/tmp/peers/isp & co", "updetach",
                                        "user", "bob@isp"}));
    EXPECT_NE(DescribePppdExit(19).find("authenticate ourselves"), std::string::npos);
}

// A stand-in for pppd that shows what it was given and then waits: the real
// pppd cannot wait on these machines (it stops at once without /dev/ppp).
TEST(DialRunner, HandsThePasswordOverOnAPipeShowsLinesAndCancels) {
    TempFolder folder("lwdial");
    const std::string script = folder.File("pppd");
    std::ofstream(script) << "#!/bin/sh\n"
                             "echo \"args: $*\"\n"
                             "IFS= read -r pw <&3; echo \"password: $pw\"\n"
                             "printf 'no newline at the end'\n"
                             "echo; echo waiting\n"
                             "exec sleep 1000\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);

    DialRequest request;
    request.entryName = "isp";
    request.user = "bob";
    request.password = "pa ss\"word";
    request.peersFolder = folder.Path();
    request.pppdPath = script;
    DialRecord record;
    KtDialRunner runner;
    std::string error;
    ASSERT_TRUE(runner.Start(request, record.Lines(), record.End(), error)) << error;
    EXPECT_FALSE(runner.Start(request, record.Lines(), record.End(), error));
    record.WaitForLine("waiting");
    ASSERT_FALSE(record.Ended()) << Joined(record.LinesSoFar());
    runner.Cancel();
    runner.Wait();
    ASSERT_TRUE(record.Ended());

    const std::vector<std::string> lines = record.LinesSoFar();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "args: file " + folder.File("isp") + " updetach user bob passwordfd 3");
    EXPECT_EQ(lines[1], "password: pa ss\"word");
    EXPECT_EQ(lines[2], "no newline at the end");
    const DialOutcome outcome = record.Outcome();
    EXPECT_TRUE(outcome.started);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.signal, SIGTERM);
    EXPECT_NE(Joined(outcome.summary).find("cancelled"), std::string::npos);
    EXPECT_EQ(runner.ProcessId(), -1);
}

TEST(DialRunner, AnEntryWithoutThePasswordPluginDialsForRootAndTellsOthersToRecreateIt) {
    TempFolder folder("lwdial");
    SetPeersFolder(folder.Path());
    ASSERT_EQ(CreateConnection("AC", "new", "eth0"), S_OK);
    SetPeersFolder({});
    // As the earlier version wrote it: the PPPoE plugin only.
    std::ofstream(folder.File("old")) << "plugin rp-pppoe.so\n\"nic-eth0\"\npppoe-ac \"AC\"\n";

    DialRequest request;
    request.peersFolder = folder.Path();
    request.password = "secret";
    for (bool root : {true, false}) {
        request.entryName = "new";
        EXPECT_EQ(ChoosePasswordRoute(request, root), PasswordRoute::Entry);
        request.entryName = "missing";  // pppd reads it, or says it is not there
        EXPECT_EQ(ChoosePasswordRoute(request, root), PasswordRoute::Entry);
    }
    request.entryName = "old";
    EXPECT_EQ(ChoosePasswordRoute(request, true), PasswordRoute::CommandLine);
    EXPECT_EQ(ChoosePasswordRoute(request, false), PasswordRoute::Refused);
    request.password.clear();
    EXPECT_EQ(ChoosePasswordRoute(request, false), PasswordRoute::Entry);
    EXPECT_NE(RecreateEntryAdvice("old").find("Create the connection again"), std::string::npos);
}

TEST(DialRunner, ShowsPppdsOwnWordsAndWhatIsMissingWhenItStops) {
    if (access("/usr/sbin/pppd", X_OK) != 0) {
        GTEST_SKIP() << "pppd is not installed (Debian package ppp)";
    }
    TempFolder folder("lwdial");
    SetPeersFolder(folder.Path());
    ASSERT_EQ(CreateConnection("NoSuchAC", "isp", "lwnone0"), S_OK);
    SetPeersFolder({});

    DialRequest request;
    request.entryName = "isp";
    request.user = "bob";
    request.password = "secret";
    request.peersFolder = folder.Path();
    request.pppDevice = folder.File("no-ppp-device");  // as on machines without kernel PPP
    DialRecord record;
    std::string error;
    {
        KtDialRunner runner;
        ASSERT_TRUE(runner.Start(request, record.Lines(), record.End(), error)) << error;
        runner.Wait();
    }
    const DialOutcome outcome = record.Outcome();
    const std::string output = Joined(record.LinesSoFar());
    EXPECT_TRUE(outcome.started);
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_NE(outcome.exitCode, 0) << output;
    EXPECT_NE(output.find("pppoe"), std::string::npos) << output;  // pppd's own words
    EXPECT_EQ(output.find("secret"), std::string::npos);
    const std::string summary = Joined(outcome.summary);
    EXPECT_NE(summary.find("pppd ended with status " + std::to_string(outcome.exitCode)),
              std::string::npos);
    EXPECT_NE(summary.find("no-ppp-device is missing"), std::string::npos) << summary;
}
