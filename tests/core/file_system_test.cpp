#include "core/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "test_support.h"

namespace fs = std::filesystem;

TEST(FileExistence, FalseForFolderAndMissingTrueForFile) {
    TempFolder dir;
    const std::string file = dir.File("linewatch.ini");
    EXPECT_FALSE(FileExists(file));
    std::ofstream(file) << "";
    EXPECT_TRUE(FileExists(file));
    const std::string folder = dir.File("linewatch.d");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    EXPECT_FALSE(FileExists(folder));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_FALSE(FileExists(""));
}

TEST(FileExistence, DanglingLinkIsNoFile) {
    TempFolder dir;
    const std::string link = dir.File("gone");
    ASSERT_EQ(symlink(dir.File("nowhere").c_str(), link.c_str()), 0);
    EXPECT_FALSE(FileExists(link));
}

TEST(Paths, ConfigFolderFollowsXdgThenHome) {
    ScopedEnv config("XDG_CONFIG_HOME", "/srv/config");
    EXPECT_EQ(XdgConfigHome(), "/srv/config");
    ScopedEnv relative("XDG_CONFIG_HOME", "config");  // invalid: ignored
    ScopedEnv home("HOME", "/home/tester/");
    EXPECT_EQ(HomeFolder(), "/home/tester");
    EXPECT_EQ(XdgConfigHome(), "/home/tester/.config");
}

// A privileged writer must never write through a link someone planted.
TEST(AtomicReplace, RefusesASymbolicLinkOrAnythingButAFile) {
    TempFolder dir;
    const std::string victim = dir.File("victim");
    std::ofstream(victim) << "private";
    const std::string link = dir.File("linewatch.desktop");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_FALSE(ReplaceFileAtomically(link, "Exec=/tmp/evil", 0644));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(victim), "private");
    const std::string dangling = dir.File("dangling");
    ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(ReplaceFileAtomically(dangling, "x", 0644));
    EXPECT_FALSE(fs::exists(dir.File("nowhere")));
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ReplaceFileAtomically(fifo, "x", 0644));
    EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
}

TEST(LogFiles, OpenForAppendingOrAnewOnlyARegularFile) {
    TempFolder dir;
    const std::string path = dir.File("monitor.log");
    {
        UniqueFd log = OpenLogFile(path, false);
        ASSERT_TRUE(log);
        EXPECT_TRUE(WriteAll(log.Get(), "one\n"));
        EXPECT_NE(fcntl(log.Get(), F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(fcntl(log.Get(), F_GETFL) & O_NONBLOCK, 0);
    }
    {
        UniqueFd log = OpenLogFile(path, false);
        ASSERT_TRUE(log);
        EXPECT_TRUE(WriteAll(log.Get(), "two\n"));
    }
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");
    {
        UniqueFd log = OpenLogFile(path, true);
        ASSERT_TRUE(log);
    }
    EXPECT_EQ(ReadFile(path), "");

    const std::string victim = dir.File("victim");
    std::ofstream(victim) << "private";
    const std::string link = dir.File("00-1b-21-0a-4c-5e.log");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_FALSE(OpenLogFile(link, true));
    EXPECT_FALSE(OpenLogFile(link, false));
    EXPECT_EQ(ReadFile(victim), "private");
    // A FIFO under the name neither blocks the open nor is taken.
    const std::string fifo = dir.File("fifo.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    EXPECT_FALSE(OpenLogFile(fifo, true));
}
