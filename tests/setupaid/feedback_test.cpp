#include "setupaid/feedback.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "setupaid/setupaid.h"
#include "setupaid/setupaid_test_support.h"

namespace {

using setupaid::FeedbackAddress;
using setupaid::FeedbackEncode;

TEST(FeedbackEncoding, UsesItsOwnAlphabetAndPadding) {
    EXPECT_EQ(FeedbackEncode("abc"), "YWJj");
    EXPECT_EQ(FeedbackEncode("a"), "YQ,,");
    EXPECT_EQ(FeedbackEncode("ab"), "YWI,");
    EXPECT_EQ(FeedbackEncode(""), "");
    EXPECT_EQ(FeedbackEncode("Man is"), "TWFuIGlz");
    // The two characters that differ from the usual Base64 alphabet.
    EXPECT_EQ(FeedbackEncode("\xFB\xFF\xBF"), "-_-_");
}

TEST(FeedbackAddress, OrdersAndEncodesFieldsSoNoneCanForgeAnother) {
    EXPECT_EQ(FeedbackAddress({"https://example.org/fb", "LW", "1.1.7", "a@b.example", "en", "hi"}),
              "https://example.org/fb?p=LW&v=1.1.7&r=en&e=YUBiLmV4YW1wbGU,&d1=aGk,");
    EXPECT_EQ(FeedbackAddress({"http://x.example/", "", "", "", "", ""}), "http://x.example/?p=");
    EXPECT_EQ(FeedbackAddress({"https://example.org/fb", "x&v=9#top", "1 2", "", "r+s", ""}),
              "https://example.org/fb?p=x%26v%3D9%23top&v=1%202&r=r%2Bs");
}

TEST(FeedbackAddress, JoinsAnExistingQueryAndKeepsTheFragmentLast) {
    EXPECT_EQ(FeedbackAddress({"https://f.example/f.php?lang=en", "LW", "1.1.7", "", "", ""}),
              "https://f.example/f.php?lang=en&p=LW&v=1.1.7");
    EXPECT_EQ(FeedbackAddress({"https://f.example/f.php?lang=en#form", "LW", "", "", "", "hi"}),
              "https://f.example/f.php?lang=en&p=LW&d1=aGk,#form");
    EXPECT_EQ(FeedbackAddress({"https://f.example/f#top", "LW", "", "", "", ""}),
              "https://f.example/f?p=LW#top");
    // A query already ended by its separator gets none added; a "?" in the
    // fragment is no query.
    EXPECT_EQ(FeedbackAddress({"https://f.example/f?", "LW", "", "", "", ""}),
              "https://f.example/f?p=LW");
    EXPECT_EQ(FeedbackAddress({"https://f.example/f?a=1&", "LW", "", "", "", ""}),
              "https://f.example/f?a=1&p=LW");
    EXPECT_EQ(FeedbackAddress({"https://f.example/f#a?b", "LW", "", "", "", ""}),
              "https://f.example/f?p=LW#a?b");
}

TEST(FeedbackAddress, SplitsTheMessageOnCharacters) {
    EXPECT_EQ(FeedbackAddress({"https://f.example", "p", "", "", "", std::string(300, 'm')}),
              "https://f.example?p=p&d1=" + FeedbackEncode(std::string(192, 'm')) +
                  "&d2=" + FeedbackEncode(std::string(108, 'm')));
    // Cut to 384 characters; two-byte characters count as one and stay whole.
    EXPECT_EQ(setupaid::SplitMessage(std::string(500, 'x')).d2, std::string(192, 'x'));
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(setupaid::SplitMessage(accents).d2, accents.substr(0, 16));
    // Bytes that are not UTF-8 are sent as U+FFFD, one character each.
    EXPECT_EQ(setupaid::SplitMessage("a\xFF!").d1, "a\xEF\xBF\xBD!");
}

// Records the argument lists it is asked to open.
class RecordingOpener : public setupaid::AddressOpener {
  public:
    RecordingOpener() { setupaid::SetAddressOpener(this); }
    ~RecordingOpener() override { setupaid::SetAddressOpener(nullptr); }
    int Open(const std::vector<std::string>& argv) override {
        opened.push_back(argv);
        return SETUPAID_DONE;
    }
    std::vector<std::vector<std::string>> opened;
};

TEST(SendFeedback, OpensOnlyWebAddressesFromAnArgumentList) {
    RecordingOpener opener;
    EXPECT_EQ(SendFeedback("https://fb.example/send", "LW", "1.1.7", "abc", "en", "a"),
              SETUPAID_DONE);
    EXPECT_EQ(opener.opened,
              (std::vector<std::vector<std::string>>{
                  {"xdg-open", "https://fb.example/send?p=LW&v=1.1.7&r=en&e=YWJj&d1=YQ,,"}}));
    // Nothing for an empty or missing page address, nor for one that is not a
    // web address (xdg-open would open a file, or read an option).
    EXPECT_EQ(SendFeedback("", "LW", "", "", "", "x"), SETUPAID_DONE);
    EXPECT_EQ(SendFeedback(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SETUPAID_DONE);
    for (const char* page : {"/etc/passwd", "--help", "https://fb.example/a b"}) {
        EXPECT_EQ(SendFeedback(page, "LW", "", "", "", ""), SETUPAID_FAILED) << page;
    }
    EXPECT_EQ(opener.opened.size(), 1u);
}

// The real opener: a stand-in xdg-open found through PATH writes down who ran
// it, its working folder, home, PATH, which of the descriptors 3 to 9 and 40
// it holds, a variable of root's, and its arguments.
class DesktopLauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to start a program as another user";
        chmod(folder_.Path().c_str(), 0777);
        const std::string script = folder_.File("xdg-open");
        std::ofstream(script)
            << "#!/bin/sh\nout=" << folder_.File("opened")
            << "\nfds=\nfor fd in 3 4 5 6 7 8 9 40; do [ -e /proc/$$/fd/$fd ] && fds=\"$fds $fd\"; "
               "done\n{ id -u; pwd; printf '%s\\n' \"$HOME\" \"$PATH\" \"fds:$fds\" "
               "\"root:${LW_ROOT_ONLY:-}\" \"$@\"; } > \"$out.part\"\nmv \"$out.part\" \"$out\"\n";
        chmod(script.c_str(), 0755);
    }
    std::string Opened() {
        const std::string file = folder_.File("opened");
        EXPECT_TRUE(setupaid_test::WaitFor([&] { return std::filesystem::exists(file); }));
        std::string text = ReadFile(file);
        std::filesystem::remove(file);
        return text;
    }

    TempFolder folder_{"setupaid-open"};
    ScopedEnv path_{"PATH", (folder_.Path() + ":" + std::getenv("PATH")).c_str()};
    ScopedEnv pkexec_{"PKEXEC_UID", nullptr};
    ScopedEnv sudo_{"SUDO_UID", nullptr};
};

TEST_F(DesktopLauncherTest, RunsAsTheDesktopUserInItsHomeWithNothingOfRoots) {
    setupaid_test::TestAccount user("lwu23a");
    ASSERT_TRUE(user.ok());
    ScopedEnv sudo("SUDO_UID", std::to_string(user.uid()).c_str());
    ScopedEnv rootOnly("LW_ROOT_ONLY", "yes");
    // Root's open files as an installer holds them: a secret only root may
    // read on descriptors 7 and 40, a file of root's open for writing on 8.
    const int secret = open(folder_.File("secret").c_str(), O_RDWR | O_CREAT, 0600);
    const int log = open(folder_.File("root.log").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(secret >= 0 && log >= 0 && fcntl(7, F_GETFD) < 0 && fcntl(8, F_GETFD) < 0 &&
                fcntl(40, F_GETFD) < 0);
    ASSERT_TRUE(dup2(secret, 7) == 7 && dup2(log, 8) == 8 && dup2(secret, 40) == 40);

    // Shell characters in the page address reach the program as they are.
    const std::string page = "https://fb.example/a;$(touch${IFS}" + folder_.File("ran") + ")";
    EXPECT_EQ(SendFeedback(page.c_str(), "LW", "1.1.7", "", "", "hello"), SETUPAID_DONE);
    EXPECT_EQ(Opened(), std::to_string(user.uid()) + "\n" + user.home() + "\n" + user.home() +
                            "\n/usr/local/bin:/usr/bin:/bin\nfds:\nroot:\n" + page +
                            "?p=LW&v=1.1.7&d1=" + FeedbackEncode("hello") + "\n");
    EXPECT_FALSE(std::filesystem::exists(folder_.File("ran")));
    // The caller's descriptors are still its own.
    EXPECT_GE(fcntl(7, F_GETFD), 0);
    for (int fd : {secret, log, 7, 8, 40}) close(fd);
}

TEST_F(DesktopLauncherTest, StartsNothingAsRootOrForAnUnreadableUser) {
    // Root acting for no one (after "su -"), or for root itself.
    for (const char* uid : {static_cast<const char*>(nullptr), "0"}) {
        ScopedEnv sudo("SUDO_UID", uid);
        testing::internal::CaptureStderr();
        EXPECT_EQ(SendFeedback("https://fb.example", "LW", "", "", "", ""), SETUPAID_ACCESS_DENIED);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("never started as root"),
                  std::string::npos);
    }
    for (const char* uid : {"12x", "4000000"}) {
        ScopedEnv pkexec("PKEXEC_UID", uid);
        EXPECT_EQ(SendFeedback("https://fb.example", "LW", "", "", "", ""), SETUPAID_FAILED);
    }
    EXPECT_FALSE(std::filesystem::exists(folder_.File("opened")));
    ScopedEnv noOpener("PATH", "/nonexistent");
    ScopedEnv sudo("SUDO_UID", std::to_string(setupaid_test::kNobody).c_str());
    EXPECT_EQ(SendFeedback("https://fb.example", "LW", "", "", "", ""), SETUPAID_NOT_AVAILABLE);
}

}  // namespace
