#include "setupaid/feedback.h"

#include <gtest/gtest.h>
#include <pwd.h>
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
using setupaid_test::WaitFor;

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

TEST(FeedbackEncoding, UsesItsOwnAlphabetAndPadding) {
    EXPECT_EQ(FeedbackEncode("abc"), "YWJj");
    EXPECT_EQ(FeedbackEncode("a"), "YQ,,");
    EXPECT_EQ(FeedbackEncode("ab"), "YWI,");
    EXPECT_EQ(FeedbackEncode(""), "");
    EXPECT_EQ(FeedbackEncode("Man is"), "TWFuIGlz");
    // The two characters that differ from the usual Base64 alphabet.
    EXPECT_EQ(FeedbackEncode("\xFB\xFF\xBF"), "-_-_");
    EXPECT_EQ(FeedbackEncode(std::string("\0\0\0", 3)), "AAAA");
}

TEST(FeedbackAddress, PutsFieldsInOrderAndLeavesEmptyOnesOut) {
    EXPECT_EQ(FeedbackAddress({"https://example.org/fb", "LW", "1.1.7", "", "en", "hi"}),
              "https://example.org/fb?p=LW&v=1.1.7&r=en&d1=aGk,");
    EXPECT_EQ(FeedbackAddress({"https://example.org/fb", "LW", "", "a@b.example", "", ""}),
              "https://example.org/fb?p=LW&e=YUBiLmV4YW1wbGU,");
    EXPECT_EQ(FeedbackAddress({"http://x.example/", "", "", "", "", ""}), "http://x.example/?p=");
}

TEST(FeedbackAddress, ValuesCannotForgeFields) {
    EXPECT_EQ(FeedbackAddress({"https://example.org/fb", "x&v=9#top", "1 2", "", "r+s", ""}),
              "https://example.org/fb?p=x%26v%3D9%23top&v=1%202&r=r%2Bs");
}

TEST(FeedbackAddress, SplitsTheMessageOnCharacters) {
    const std::string message(300, 'm');
    EXPECT_EQ(FeedbackAddress({"https://f.example", "p", "", "", "", message}),
              "https://f.example?p=p&d1=" + FeedbackEncode(std::string(192, 'm')) +
                  "&d2=" + FeedbackEncode(std::string(108, 'm')));

    // Cut to 384 characters.
    const auto parts = setupaid::SplitMessage(std::string(500, 'x'));
    EXPECT_EQ(parts.d1, std::string(192, 'x'));
    EXPECT_EQ(parts.d2, std::string(192, 'x'));

    // Two-byte characters are counted as characters and never split.
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";
    const auto accented = setupaid::SplitMessage(accents);
    EXPECT_EQ(accented.d1.size(), 384u);
    EXPECT_EQ(accented.d2.size(), 16u);

    // Bytes that are not UTF-8 are sent as U+FFFD, one character each.
    const auto broken = setupaid::SplitMessage(
        "a\xFF"
        "b");
    EXPECT_EQ(broken.d1,
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(broken.d2, "");
}

TEST(SendFeedback, OpensTheAddressFromAnArgumentList) {
    RecordingOpener opener;
    EXPECT_EQ(SendFeedback("https://fb.example/send", "LW", "1.1.7", "abc", "en", "a"),
              SETUPAID_DONE);
    ASSERT_EQ(opener.opened.size(), 1u);
    EXPECT_EQ(opener.opened[0],
              (std::vector<std::string>{
                  "xdg-open", "https://fb.example/send?p=LW&v=1.1.7&r=en&e=YWJj&d1=YQ,,"}));

    // Nothing is opened for an empty or missing page address, nor for one that
    // is not a web address (xdg-open would open a file, or read an option).
    EXPECT_EQ(SendFeedback("", "LW", "", "", "", "x"), SETUPAID_DONE);
    EXPECT_EQ(SendFeedback(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SETUPAID_DONE);
    EXPECT_EQ(SendFeedback("/etc/passwd", "LW", "", "", "", ""), SETUPAID_FAILED);
    EXPECT_EQ(SendFeedback("--help", "LW", "", "", "", ""), SETUPAID_FAILED);
    EXPECT_EQ(SendFeedback("https://fb.example/a b", "LW", "", "", "", ""), SETUPAID_FAILED);
    EXPECT_EQ(opener.opened.size(), 1u);
}

// The real opener: a stand-in xdg-open found through PATH writes down who ran
// it, its home and its arguments.
class DesktopLauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to start a program as another user";
        chmod(folder_.Path().c_str(), 0777);
        script_ = folder_.File("xdg-open");
        std::ofstream(script_)
            << "#!/bin/sh\n"
               "out="
            << folder_.File("opened")
            << "\n"
               "{ id -u; printf '%s\\n' \"$HOME\" \"$PATH\"; "
               "for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.part\"\n"
               "mv \"$out.part\" \"$out\"\n";
        chmod(script_.c_str(), 0755);
        path_ = std::make_unique<ScopedEnv>("PATH",
                                            (folder_.Path() + ":" + std::getenv("PATH")).c_str());
    }

    std::string Opened() {
        EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(folder_.File("opened")); }));
        return ReadFile(folder_.File("opened"));
    }

    TempFolder folder_{"setupaid-open"};
    std::string script_;
    std::unique_ptr<ScopedEnv> path_;
};

TEST_F(DesktopLauncherTest, RunsAsTheDesktopUserWithoutAShell) {
    ScopedEnv pkexec("PKEXEC_UID", nullptr);
    ScopedEnv sudo("SUDO_UID", std::to_string(setupaid_test::kNobody).c_str());
    const passwd* nobody = getpwuid(setupaid_test::kNobody);
    ASSERT_NE(nobody, nullptr);

    // Shell characters in the page address reach the program as they are.
    const std::string page = "https://fb.example/a;$(touch${IFS}" + folder_.File("ran") + ")";
    EXPECT_EQ(SendFeedback(page.c_str(), "LW", "1.1.7", "", "", "hello"), SETUPAID_DONE);
    EXPECT_EQ(Opened(), std::to_string(setupaid_test::kNobody) + "\n" + nobody->pw_dir + "\n" +
                            "/usr/local/bin:/usr/bin:/bin\n" + page +
                            "?p=LW&v=1.1.7&d1=" + FeedbackEncode("hello") + "\n");
    EXPECT_FALSE(std::filesystem::exists(folder_.File("ran")));
}

TEST_F(DesktopLauncherTest, RefusesAnInvokingUserItCannotRead) {
    ScopedEnv pkexec("PKEXEC_UID", "12x");
    EXPECT_EQ(SendFeedback("https://fb.example", "LW", "", "", "", ""), SETUPAID_FAILED);
    // A user without a passwd entry cannot be taken on either.
    ScopedEnv unknown("PKEXEC_UID", "4000000");
    EXPECT_EQ(SendFeedback("https://fb.example", "LW", "", "", "", ""), SETUPAID_FAILED);
    EXPECT_FALSE(std::filesystem::exists(folder_.File("opened")));
}

TEST_F(DesktopLauncherTest, RunsAsItselfForRootAndAnswersAMissingOpener) {
    ScopedEnv pkexec("PKEXEC_UID", nullptr);
    ScopedEnv sudo("SUDO_UID", nullptr);
    EXPECT_EQ(SendFeedback("https://fb.example", "LW", "", "", "", ""), SETUPAID_DONE);
    EXPECT_EQ(Opened().substr(0, 2), "0\n");

    ScopedEnv noOpener("PATH", "/nonexistent");
    EXPECT_EQ(SendFeedback("https://fb.example", "LW", "", "", "", ""), SETUPAID_NOT_AVAILABLE);
}

}  // namespace
