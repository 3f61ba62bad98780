// The machine-wide autostart entry is written by a root helper: a symbolic
// link planted in its place must be refused, never written through, both by
// the autostart module and by the built linewatch-elevated.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/elevation/admin_operation.h"
#include "core/elevation/elevated_protocol.h"
#include "core/storage/autostart.h"
#include "core/unique_fd.h"
#include "test_support.h"

#ifndef LW_TEST_ELEVATED_HELPER
#error "LW_TEST_ELEVATED_HELPER must name the built linewatch-elevated"
#endif

namespace {

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The program as the Run value names it, quoted.

// One helper session on temporary stores; Write sends one Run-key write.
class HelperSession {
  public:
    HelperSession(const std::string& database, const std::string& autostart) {
        int in[2];
        int out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> args = {LW_TEST_ELEVATED_HELPER,  "--serve", "--hklm-db", database,
                                         "--system-autostart-dir", autostart};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        char* envp[] = {nullptr};
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        in_.Reset(in[1]);
        out_.Reset(out[0]);
        std::string greeting;
        greeted_ = ElevatedProtocol::ReadLine(out_.Get(), 64, greeting) &&
                   greeting + "\n" == ElevatedProtocol::kGreeting;
    }
    ~HelperSession() {
        in_.Reset();
        int status = 0;
        if (pid_ > 0) waitpid(pid_, &status, 0);
    }

    bool Greeted() const { return greeted_; }

    std::optional<int32_t> WriteRunValue(const std::string& value) {
        ElevatedProtocol::Request request;
        request.op = ElevatedProtocol::Operation::WriteString;
        request.keyPath = kRunKey;
        request.name = "Line Watchman";
        request.value = value;
        std::string line;
        int32_t result = 0;
        if (!WriteAll(in_.Get(), ElevatedProtocol::EncodeRequest(request)) ||
            !ElevatedProtocol::ReadLine(out_.Get(), 9, line) ||
            !ElevatedProtocol::DecodeReply(line, result))
            return std::nullopt;
        return result;
    }

  private:
    pid_t pid_ = -1;
    UniqueFd in_;
    UniqueFd out_;
    bool greeted_ = false;
};

}  // namespace

// An autostart folder whose entry is a link to a private file.
class AutostartLinks : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::create_directory(folder_));
        std::ofstream(victim_) << "private\n";
        std::filesystem::create_symlink(victim_, entry_);
    }
    void ExpectLinkAndVictimUntouched() const {
        EXPECT_EQ(ReadFile(victim_), "private\n");
        EXPECT_TRUE(std::filesystem::is_symlink(entry_));
    }

    TempFolder dir_;
    const std::string folder_ = dir_.File("autostart");
    const std::string victim_ = dir_.File("victim");
    const std::string entry_ = folder_ + "/" + std::string(XdgAutostart::kFileName);
};

TEST_F(AutostartLinks, ASymlinkedEntryIsRefusedByTheModuleAndTheLinkedFileStaysUntouched) {
    XdgAutostart::SetFolder(RegistryRoot::CurrentUser, folder_);
    const XdgAutostart user(RegistryRoot::CurrentUser);
    EXPECT_FALSE(user.Write(KtAdminOperation::ProgramRunCommand()));
    XdgAutostart::SetFolder(RegistryRoot::CurrentUser, "");
    ExpectLinkAndVictimUntouched();
}

TEST_F(AutostartLinks, TheElevatedHelperRefusesASymlinkedSystemEntry) {
    HelperSession helper(dir_.File("hklm.db"), folder_);
    ASSERT_TRUE(helper.Greeted());
    const std::optional<int32_t> refused =
        helper.WriteRunValue(KtAdminOperation::ProgramRunCommand());
    ASSERT_TRUE(refused.has_value());
    EXPECT_NE(*refused, S_OK);
    ExpectLinkAndVictimUntouched();

    // The same request is accepted once the link is gone: the refusal was the
    // link's, not the request's.
    std::filesystem::remove(entry_);
    EXPECT_EQ(helper.WriteRunValue(KtAdminOperation::ProgramRunCommand()), S_OK);
    EXPECT_NE(ReadFile(entry_).find("Exec="), std::string::npos);
    EXPECT_EQ(ReadFile(victim_), "private\n");
}
