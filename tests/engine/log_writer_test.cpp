#include "engine/log_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "test_support.h"

namespace {

const std::regex kStamp(R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] )");

}  // namespace

TEST(LogStamp, HasTheFixedForm) {
    std::tm t{};
    t.tm_year = 2013 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 15;
    t.tm_sec = 2;
    EXPECT_EQ(FormatLogStamp(t), "[2013.03.05 09:15:02] ");
}

TEST(LogWriter, StampsTheFirstPieceAndEndsTheLineAfterTheLast) {
    KtLogWriter writer;
    writer.WriteLine({"AC: UP:  ", "00:1B:21:0A:4C:5E", " ", "access1"});
    const auto lines = writer.TakeBoxLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0].substr(0, 22), kStamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(22), "AC: UP:  00:1B:21:0A:4C:5E access1\r\n");
    EXPECT_TRUE(writer.TakeBoxLines().empty());
}

TEST(LogWriter, LongPiecesAreKeptWhole) {
    KtLogWriter writer;
    const std::string piece(500, 'n');
    writer.WriteLine({"AC: NEW:  ", piece});
    const auto lines = writer.TakeBoxLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 22 + 10 + 500 + 2u);
}

TEST(LogWriter, GeneralLogGetsTheBoxLinesWithLineFeeds) {
    TempFolder folder;
    KtLogWriter writer;
    writer.WriteLine({"before the log is open"});
    ASSERT_TRUE(writer.OpenGeneralLog(folder.Path()));
    EXPECT_EQ(writer.GeneralLogPath(), folder.Path() + "/monitor.log");
    writer.TakeBoxLines();
    writer.WriteLine({"Select: ", "eth0"});
    writer.WriteLine({"INFO: Network cable is connected"});
    writer.CloseGeneralLog();
    writer.WriteLine({"after it was closed"});
    std::string box;
    for (const std::string& line : writer.TakeBoxLines()) box += line;
    const std::string file = ReadFile(folder.Path() + "/monitor.log");
    EXPECT_EQ(std::regex_replace(file, kStamp, ""),
              "Select: eth0\nINFO: Network cable is connected\n");
    EXPECT_EQ(std::regex_replace(box, kStamp, ""),
              "Select: eth0\r\nINFO: Network cable is connected\r\nafter it was closed\r\n");
}

TEST(LogWriter, ReopeningAppendsNothingIsLost) {
    TempFolder folder;
    for (int run = 0; run < 3; ++run) {
        KtLogWriter writer;
        ASSERT_TRUE(writer.OpenGeneralLog(folder.Path()));
        writer.WriteLine({"run ", std::to_string(run)});
    }
    EXPECT_EQ(std::regex_replace(ReadFile(folder.Path() + "/monitor.log"), kStamp, ""),
              "run 0\nrun 1\nrun 2\n");
}

TEST(LogWriter, FolderThatDoesNotExistCannotBeOpened) {
    KtLogWriter writer;
    EXPECT_FALSE(writer.OpenGeneralLog("/nonexistent-folder/lw"));
    EXPECT_FALSE(writer.IsGeneralLogOpen());
    writer.WriteLine({"still reaches the box"});
    EXPECT_EQ(writer.TakeBoxLines().size(), 1u);
}

namespace {

// Notes the thread of every box notification.
class BoxListenerThreads final : public LogBoxListener {
  public:
    void BoxLinesQueued() override { notified.push_back(std::this_thread::get_id()); }
    std::vector<std::thread::id> notified;
};

}  // namespace

TEST(LogWriter, NotifiesTheBoxOnTheWritingThread) {
    BoxListenerThreads listener;
    KtLogWriter writer(&listener);
    std::thread::id writerId;
    std::thread other([&] {
        writerId = std::this_thread::get_id();
        writer.WriteLine({"PADI:  ", "02:4C:57:00:05:01"});
    });
    other.join();
    EXPECT_EQ(listener.notified, (std::vector<std::thread::id>{writerId}));
}

TEST(LogWriter, LinesOfConcurrentWritersStayWholeAndInTheSameOrderInBoxAndFile) {
    TempFolder folder;
    KtLogWriter writer;
    ASSERT_TRUE(writer.OpenGeneralLog(folder.Path()));
    constexpr int kThreads = 4;
    constexpr int kLines = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&writer, t] {
            const std::string tag(40, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                writer.WriteLine({"PADI:  ", tag, " ", std::to_string(i)});
        });
    }
    for (std::thread& thread : threads) thread.join();
    writer.CloseGeneralLog();

    std::string box;
    for (const std::string& line : writer.TakeBoxLines())
        box += line.substr(0, line.size() - 2) + "\n";
    const std::string file = ReadFile(folder.Path() + "/monitor.log");
    EXPECT_EQ(file, box);
    const std::regex line(R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] PADI:  ([a-d])\1{39} \d+)");
    std::istringstream lines(file);
    int count = 0;
    for (std::string l; std::getline(lines, l); ++count)
        ASSERT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(LogWriter, TwoWritersSharingTheFileNeverTearEachOthersLines) {
    // Two programs (here two writers) appending to one monitor.log.
    TempFolder folder;
    KtLogWriter first;
    KtLogWriter second;
    ASSERT_TRUE(first.OpenGeneralLog(folder.Path()));
    ASSERT_TRUE(second.OpenGeneralLog(folder.Path()));
    constexpr int kLines = 2000;
    std::thread a([&] {
        for (int i = 0; i < kLines; ++i) first.WriteLine({std::string(120, 'x')});
    });
    std::thread b([&] {
        for (int i = 0; i < kLines; ++i) second.WriteLine({std::string(120, 'y')});
    });
    a.join();
    b.join();
    first.CloseGeneralLog();
    second.CloseGeneralLog();
    std::istringstream lines(ReadFile(folder.Path() + "/monitor.log"));
    int count = 0;
    const std::regex line(R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] (x{120}|y{120}))");
    for (std::string l; std::getline(lines, l); ++count)
        ASSERT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_EQ(count, 2 * kLines);
}

TEST(ResolvePath, DefaultFolderLandsInTheXdgDataFolderWhenAppdataIsUnset) {
    ScopedEnv appdata("APPDATA", nullptr);
    ScopedEnv xdg("XDG_DATA_HOME", "/home/tester/.data");
    EXPECT_EQ(ResolvePath("%APPDATA%\\Tarnweld Lab\\Line Watchman", "/opt/lw"),
              "/home/tester/.data/Tarnweld Lab/Line Watchman");
}

TEST(ResolvePath, DefaultFolderFallsBackToHomeLocalShare) {
    ScopedEnv appdata("APPDATA", nullptr);
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", "/home/tester");
    EXPECT_EQ(ResolvePath("%APPDATA%\\Tarnweld Lab\\Line Watchman", "/opt/lw"),
              "/home/tester/.local/share/Tarnweld Lab/Line Watchman");
}

TEST(ResolvePath, AppdataFromTheEnvironmentWins) {
    ScopedEnv appdata("APPDATA", "/srv/appdata");
    EXPECT_EQ(ResolvePath("%APPDATA%/logs", "/opt/lw"), "/srv/appdata/logs");
}

TEST(ResolvePath, RelativeFolderIsTakenBelowTheProgramFolder) {
    EXPECT_EQ(ResolvePath("logs", "/opt/lw"), "/opt/lw/logs");
    EXPECT_EQ(ResolvePath(".\\logs\\", "/opt/lw"), "/opt/lw/logs");
    EXPECT_EQ(ResolvePath("..\\logs", "/opt/lw"), "/opt/logs");
}

TEST(ResolvePath, AnEmptyFolderIsTheProgramFolderAndNothingResolvesToTheRoot) {
    EXPECT_EQ(ResolvePath("", "/opt/lw"), "/opt/lw");
    EXPECT_EQ(ResolvePath(".", "/opt/lw"), "/opt/lw");
    ScopedEnv slash("LW_TEST_ROOT_FOLDER", "/");
    for (const char* path : {"/", "//", "/..", "/var/..", "..\\..\\..", "%LW_TEST_ROOT_FOLDER%"})
        EXPECT_EQ(ResolvePath(path, "/opt/lw"), "") << path;
    // A program in the root folder has the empty folder: still never "/".
    EXPECT_EQ(ResolvePath("", ""), "");
    EXPECT_EQ(ResolvePath("logs", ""), "/logs");
    KtLogWriter writer;
    EXPECT_FALSE(writer.OpenGeneralLog(""));
}

TEST(ResolvePath, AbsoluteFolderIsCanonicalised) {
    EXPECT_EQ(ResolvePath("/var/log/./lw/../lw2", "/opt/lw"), "/var/log/lw2");
    EXPECT_EQ(ResolvePath("/var//log/", "/opt/lw"), "/var/log");
}

TEST(ResolvePath, UnknownVariableStaysAsWritten) {
    ScopedEnv unknown("LW_SURELY_UNSET_VARIABLE", nullptr);
    EXPECT_EQ(ResolvePath("/x/%LW_SURELY_UNSET_VARIABLE%/y", "/opt/lw"),
              "/x/%LW_SURELY_UNSET_VARIABLE%/y");
}
