#include "setupaid/search_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "setupaid/setupaid.h"
#include "setupaid/setupaid_test_support.h"

namespace {

using setupaid::EnvironmentFileFolders;
using setupaid::kEnvironmentFile;
using setupaid::kProfileScript;
using setupaid::ProfileScriptFolders;
using setupaid_test::Shell;
using setupaid_test::TestRoot;

const std::string kProfile(kProfileScript);
const std::string kEnvironment(kEnvironmentFile);

TEST(AddPathVar, AddsTheFolderToBothFilesOnce) {
    TestRoot root;
    EXPECT_EQ(AddPathVar("/opt/lw/bin"), SETUPAID_DONE);
    const std::string profile = root.Read(kProfile);
    const std::string environment = root.Read(kEnvironment);
    EXPECT_EQ(ProfileScriptFolders(profile), std::vector<std::string>{"/opt/lw/bin"});
    EXPECT_EQ(EnvironmentFileFolders(environment), std::vector<std::string>{"/opt/lw/bin"});

    // Again, and with a trailing slash: the same entry, nothing written.
    EXPECT_EQ(AddPathVar("/opt/lw/bin"), SETUPAID_DONE);
    EXPECT_EQ(AddPathVar("/opt/lw/bin/"), SETUPAID_DONE);
    EXPECT_EQ(root.Read(kProfile), profile);
    EXPECT_EQ(root.Read(kEnvironment), environment);
}

TEST(AddPathVar, ComparesWholeEntriesOnly) {
    TestRoot root;
    root.Write("/etc/login.defs",
               "ENV_SUPATH\tPATH=/usr/local/sbin:/usr/sbin\n"
               "ENV_PATH\tPATH=/usr/local/bin:/usr/local/games\n");
    root.Write("/etc/environment", "LANG=C\nPATH=\"/srv/tools:/srv/last\"\n");

    // Entries of the default path are there already, the last one included.
    EXPECT_EQ(AddPathVar("/usr/local/games"), SETUPAID_DONE);
    EXPECT_EQ(AddPathVar("/srv/last"), SETUPAID_DONE);
    EXPECT_FALSE(root.Exists(kProfile));

    // A text found inside an entry is not that entry.
    EXPECT_EQ(AddPathVar("/usr/local/gam"), SETUPAID_DONE);
    EXPECT_EQ(AddPathVar("/srv"), SETUPAID_DONE);
    EXPECT_EQ(AddPathVar("/usr/local/games/bin"), SETUPAID_DONE);
    const std::vector<std::string> expected = {"/usr/local/gam", "/srv", "/usr/local/games/bin"};
    EXPECT_EQ(ProfileScriptFolders(root.Read(kProfile)), expected);
    EXPECT_EQ(EnvironmentFileFolders(root.Read(kEnvironment)), expected);
}

TEST(AddPathVar, KeepsLinesOfOthersAndRepairsAMissingFile) {
    TestRoot root;
    root.Write(kProfile, "# kept\nexport EDITOR=vi");
    EXPECT_EQ(AddPathVar("/opt/a"), SETUPAID_DONE);
    EXPECT_EQ(root.Read(kProfile).substr(0, 24), "# kept\nexport EDITOR=vi\n");

    // One file lost: only that one is written again.
    std::remove((root / kEnvironment).c_str());
    const std::string profile = root.Read(kProfile);
    EXPECT_EQ(AddPathVar("/opt/a"), SETUPAID_DONE);
    EXPECT_EQ(root.Read(kProfile), profile);
    EXPECT_EQ(EnvironmentFileFolders(root.Read(kEnvironment)), std::vector<std::string>{"/opt/a"});
}

TEST(AddPathVar, RefusesFoldersTheShellWouldReadAsMore) {
    TestRoot root;
    for (const char* folder : {"", "relative/bin", "/opt/a:/b", "/opt/a\nb", "/opt/\"q", "/opt/'q",
                               "/opt/$HOME", "/opt/`id`", "/opt/a\\b", "/opt/a\tb"}) {
        EXPECT_EQ(AddPathVar(folder), SETUPAID_FAILED) << folder;
    }
    EXPECT_EQ(AddPathVar(nullptr), SETUPAID_FAILED);
    EXPECT_FALSE(root.Exists(kProfile));
    EXPECT_FALSE(root.Exists(kEnvironment));
}

// Folders every login shell will search first: a user other than root must
// not be able to put a program there.
TEST(AddPathVar, RefusesFoldersOtherUsersCouldFill) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders to other users";
    TestRoot root;
    const auto folder = [&](const std::string& path, mode_t mode, uid_t owner = 0) {
        ASSERT_EQ(mkdir((root / path).c_str(), mode), 0) << path;
        ASSERT_EQ(chmod((root / path).c_str(), mode), 0);
        ASSERT_EQ(chown((root / path).c_str(), owner, 0), 0);
    };
    folder("/srv", 0755);
    folder("/srv/tmp", 01777);
    folder("/srv/tmp/root", 0755);
    folder("/srv/group", 0775);
    folder("/srv/group/root", 0755);
    folder("/srv/user", 0755, setupaid_test::kNobody);
    folder("/srv/safe", 0755);
    root.Write("/srv/file", "");

    for (const char* refused :
         {"/srv/tmp", "/srv/tmp/new", "/srv/group", "/srv/group/root", "/srv/group/new",
          "/srv/user", "/srv/user/bin", "/srv/file", "/srv/safe/../tmp"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(AddPathVar(refused), SETUPAID_FAILED) << refused;
        const std::string why = testing::internal::GetCapturedStderr();
        EXPECT_EQ(why.rfind(std::string("setupaid: AddPathVar: ") + refused + " refused: ", 0), 0u)
            << why;
    }
    EXPECT_FALSE(root.Exists(kProfile));

    // Root's own folders, made or not yet made, and one below a sticky
    // folder that others cannot replace.
    for (const char* accepted : {"/srv/safe", "/srv/safe/new/bin", "/srv/tmp/root", "/opt/lw"}) {
        EXPECT_EQ(AddPathVar(accepted), SETUPAID_DONE) << accepted;
    }
    EXPECT_EQ(
        ProfileScriptFolders(root.Read(kProfile)),
        (std::vector<std::string>{"/srv/safe", "/srv/safe/new/bin", "/srv/tmp/root", "/opt/lw"}));
}

TEST(AddPathVar, AnOrdinaryUserIsDenied) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an ordinary user";
    TestRoot root;
    root.Write("/etc/profile.d/other.sh", "");
    EXPECT_EQ(setupaid_test::RunAsNobody([] { return AddPathVar("/opt/lw/bin"); }),
              SETUPAID_ACCESS_DENIED);
    EXPECT_FALSE(root.Exists(kProfile));
}

// Login shells and systemd's environment generator read the real files;
// a private mount namespace puts the test root's folders in their place.
TEST(AddPathVar, LoginShellsAndDesktopSessionsSeeTheFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    TestRoot root;
    root.Write("/etc/profile.d/other.sh", "");
    const std::string folder = "/opt/line watchman/bin";
    ASSERT_EQ(AddPathVar(folder.c_str()), SETUPAID_DONE);

    const auto syntax = Shell("sh -n '" + (root / kProfile) + "'");
    EXPECT_EQ(syntax.exitStatus, 0) << root.Read(kProfile);

    const auto shell = Shell("unshare -m sh -c 'mount --bind \"" + (root / "/etc/profile.d") +
                             "\" /etc/profile.d && env -i HOME=/ bash -l -c \"echo \\$PATH\"'");
    EXPECT_EQ(shell.exitStatus, 0);
    EXPECT_EQ(shell.output.substr(0, folder.size() + 1), folder + ":") << shell.output;

    const char* generator =
        "/usr/lib/systemd/user-environment-generators/"
        "30-systemd-environment-d-generator";
    if (access(generator, X_OK) != 0) GTEST_SKIP() << "no systemd environment generator";
    const auto session =
        Shell("unshare -m sh -c 'mount --bind \"" + (root / "/etc/environment.d") +
              "\" /etc/environment.d && env -i PATH=/usr/bin:/bin " + generator + "'");
    EXPECT_EQ(session.exitStatus, 0);
    EXPECT_NE(session.output.find("PATH=\"" + folder + ":/usr/bin:/bin\"\n"), std::string::npos)
        << session.output;
}

}  // namespace
