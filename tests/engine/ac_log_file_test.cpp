#include "engine/ac_log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {}  // namespace

TEST(AcLogLines, ReplyAndTimeoutLinesHaveTheirFixedForm) {
    EXPECT_EQ(FormatAcReplyLine("[2013.03.05 09:15:02] ", 60, 12.3456),
              "[2013.03.05 09:15:02] PADO reply: len 60 bytes, time 12.346 ms\n");
    EXPECT_EQ(FormatAcTimeoutLine("[2013.03.05 09:15:02] ", 500),
              "[2013.03.05 09:15:02] Timeout (500 ms) expired. AC not answered\n");
}

TEST(AcLogLines, AreNeverCutWhateverTheValues) {
    const std::string line = FormatAcReplyLine("[2013.03.05 09:15:02] ", 4294967295u, 1e120);
    EXPECT_GT(line.size(), 99u);
    EXPECT_TRUE(line.ends_with(".000 ms\n")) << line;
}

TEST(AcLogLines, FileIsNamedByTheMacInLogFileForm) {
    EXPECT_EQ(AcLogFileName({0x00, 0x1b, 0x21, 0x0a, 0x4c, 0x5e}), "00-1b-21-0a-4c-5e.log");
}

TEST(AcLogFiles, FirstOpenerEmptiesTheFileLaterOnesShareIt) {
    TempFolder folder;
    const std::string path = folder.File("00-1b-21-0a-4c-5e.log");
    std::ofstream(path) << "old line\n";
    KtAcLogFiles files;
    auto first = files.Open(path);
    ASSERT_TRUE(first);
    EXPECT_EQ(ReadFile(path), "");
    first->WriteRaw("one\n");
    auto second = files.Open(path);
    EXPECT_EQ(first, second);
    second->WriteRaw("two\n");
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");
    EXPECT_EQ(files.OpenCount(), 1u);
}

TEST(AcLogFiles, ClosesWithTheLastHolderAndTheNextOpenStartsAnew) {
    TempFolder folder;
    const std::string path = folder.File("a.log");
    KtAcLogFiles files;
    auto first = files.Open(path);
    auto second = files.Open(path);
    first->WriteRaw("kept\n");
    first.reset();
    EXPECT_EQ(files.OpenCount(), 1u);
    second->WriteRaw("still shared\n");
    EXPECT_EQ(ReadFile(path), "kept\nstill shared\n");
    second.reset();
    EXPECT_EQ(files.OpenCount(), 0u);
    auto again = files.Open(path);
    EXPECT_EQ(ReadFile(path), "");
}

TEST(AcLogFiles, FileThatCannotBeCreatedGivesNothing) {
    KtAcLogFiles files;
    EXPECT_EQ(files.Open("/nonexistent-folder/x.log"), nullptr);
    EXPECT_EQ(files.OpenCount(), 0u);
}

TEST(AcLogFiles, LinesOfSharingWritersNeverInterleave) {
    TempFolder folder;
    const std::string path = folder.File("shared.log");
    KtAcLogFiles files;
    auto a = files.Open(path);
    auto b = files.Open(path);
    constexpr int kLines = 2000;
    const std::string lineA = std::string(150, 'a') + "\n";
    const std::string lineB = std::string(150, 'b') + "\n";
    std::thread writerA([&] {
        for (int i = 0; i < kLines; ++i) a->WriteRaw(lineA);
    });
    std::thread writerB([&] {
        for (int i = 0; i < kLines; ++i) b->WriteRaw(lineB);
    });
    writerA.join();
    writerB.join();
    std::istringstream text(ReadFile(path));
    int countA = 0;
    int countB = 0;
    for (std::string line; std::getline(text, line);) {
        if (line + "\n" == lineA)
            ++countA;
        else if (line + "\n" == lineB)
            ++countB;
        else
            ADD_FAILURE() << "torn line: " << line;
    }
    EXPECT_EQ(countA, kLines);
    EXPECT_EQ(countB, kLines);
}

TEST(AcLogFiles, WritesStampedReplyAndTimeoutLines) {
    TempFolder folder;
    const std::string path = folder.File("x.log");
    KtAcLogFiles files;
    auto file = files.Open(path);
    file->WriteReplyLine(60, 0.071);
    file->WriteTimeoutLine(300);
    const std::regex expected(
        R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] PADO reply: len 60 bytes, time 0\.071 ms
\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] Timeout \(300 ms\) expired\. AC not answered
)");
    const std::string text = ReadFile(path);
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

// More files than descriptors kept: each line still reaches its own file,
// a file opened again appends (never empties), and no more than
// kMaxOpenFiles descriptors are open at any time.
TEST(AcLogFiles, ManyFilesShareAFewDescriptorsAndLoseNoLine) {
    TempFolder folder;
    KtAcLogFiles files;
    constexpr size_t kFiles = KtAcLogFiles::kMaxOpenFiles * 3;
    std::vector<std::shared_ptr<KtAcLogFile>> held;
    for (size_t i = 0; i < kFiles; ++i) {
        held.push_back(files.Open(folder.File(std::to_string(i) + ".log")));
        ASSERT_TRUE(held.back());
        held.back()->WriteRaw("first\n");
        EXPECT_LE(files.OpenCount(), KtAcLogFiles::kMaxOpenFiles);
    }
    for (int round = 0; round < 2; ++round)
        for (const auto& file : held) file->WriteRaw("again\n");
    EXPECT_EQ(files.OpenCount(), KtAcLogFiles::kMaxOpenFiles);
    EXPECT_EQ(files.FileCount(), kFiles);
    for (size_t i = 0; i < kFiles; ++i)
        EXPECT_EQ(ReadFile(folder.File(std::to_string(i) + ".log")), "first\nagain\nagain\n") << i;

    // A file that cannot be opened again (its name taken by a folder) loses
    // its lines, once reported; the others go on.
    std::filesystem::remove(held[0]->Path());
    std::filesystem::create_directory(held[0]->Path());
    testing::internal::CaptureStderr();
    for (const auto& file : held) file->WriteRaw("third\n");
    held[0]->WriteRaw("fourth\n");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "Error: AcLogFile::fopen_s()\n");
    EXPECT_EQ(ReadFile(held[1]->Path()), "first\nagain\nagain\nthird\n");

    held.clear();
    EXPECT_EQ(files.OpenCount(), 0u);
    EXPECT_EQ(files.FileCount(), 0u);
}
