#include "core/program_paths.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "core/file_system.h"
#include "core/version_info.h"
#include "test_support.h"

namespace {

// Sets or removes an environment variable for one test and puts it back.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/lw-paths-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Built from pieces so that no complete record sits in this test's own binary.
std::string RecordMarker() {
    return std::string("\x7F") + "LWVERSION" + "RECORD" + "\x01";
}

}  // namespace

TEST(ProgramPaths, ProgramPathIsThisExecutable) {
    char resolved[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", resolved), nullptr);
    std::string path = GetProgramPath();
    EXPECT_EQ(path, resolved);
    EXPECT_TRUE(FileExists(path));
}

TEST(ProgramPaths, ProgramFolderDropsLastComponentWithoutTrailingSlash) {
    std::string path = GetProgramPath();
    std::string folder = GetProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_EQ(folder + "/" + path.substr(path.rfind('/') + 1), path);
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(AppDataFolder, UsesAbsoluteXdgDataHome) {
    ScopedEnv data("XDG_DATA_HOME", "/srv/data home");
    EXPECT_EQ(GetAppDataFolder(), "/srv/data home");
}

TEST(AppDataFolder, IgnoresRelativeXdgDataHome) {
    ScopedEnv data("XDG_DATA_HOME", "relative/data");
    ScopedEnv home("HOME", "/home/tester/");
    EXPECT_EQ(GetAppDataFolder(), "/home/tester/.local/share");
}

TEST(AppDataFolder, FallsBackToPasswordEntryWithoutHome) {
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    std::string folder = GetAppDataFolder();
    // Every account here has an absolute home folder in its password entry.
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_TRUE(folder.ends_with("/.local/share"));
}

TEST(EnvironmentExpansion, SuppliesAppDataAndTurnsStoredBackslashesIntoSlashes) {
    ScopedEnv appData("APPDATA", nullptr);
    ScopedEnv data("XDG_DATA_HOME", "/home/tester/.local/share");
    EXPECT_EQ(ExpandEnvironmentText("%APPDATA%\\Tarnweld Lab\\Line Watchman"),
              "/home/tester/.local/share/Tarnweld Lab/Line Watchman");
}

TEST(EnvironmentExpansion, EnvironmentAppDataWins) {
    ScopedEnv appData("APPDATA", "/var/lib/appdata");
    ScopedEnv data("XDG_DATA_HOME", "/home/tester/.local/share");
    EXPECT_EQ(ExpandEnvironmentText("%APPDATA%\\Logs"), "/var/lib/appdata/Logs");
}

TEST(EnvironmentExpansion, SubstitutedValuesKeepTheirBackslashes) {
    ScopedEnv value("LW_TEST_EXPAND", "a\\b");
    EXPECT_EQ(ExpandEnvironmentText("x\\%LW_TEST_EXPAND%\\y"), "x/a\\b/y");
}

TEST(EnvironmentExpansion, UnknownNamesAndLonePercentStayAsWritten) {
    ScopedEnv unknown("LW_TEST_UNSET", nullptr);
    ScopedEnv value("LW_TEST_EXPAND", "v");
    EXPECT_EQ(ExpandEnvironmentText("%LW_TEST_UNSET%\\x"), "%LW_TEST_UNSET%/x");
    EXPECT_EQ(ExpandEnvironmentText("50% done"), "50% done");
    EXPECT_EQ(ExpandEnvironmentText("%%"), "%%");
    // The second "%" of an unknown reference may open a known one.
    EXPECT_EQ(ExpandEnvironmentText("100%%LW_TEST_EXPAND%"), "100%v");
    EXPECT_EQ(ExpandEnvironmentText("%A=B%"), "%A=B%");
    EXPECT_EQ(ExpandEnvironmentText(""), "");
}

TEST(VersionStrings, ReadFromOwnExecutable) {
    std::string product = "unset";
    std::string file = "unset";
    ReadVersionStrings(GetProgramPath(), product, file);
    EXPECT_EQ(product, "1.1.7");
    EXPECT_EQ(file, "1.1.7.208");
}

TEST(VersionStrings, FileWithoutRecordLeavesOutputsUnchanged) {
    TempDir dir;
    std::string path = dir.path() + "/plain";
    WriteFile(path, std::string(200000, 'x'));
    std::string product = "p";
    std::string file = "f";
    ReadVersionStrings(path, product, file);
    EXPECT_EQ(product, "p");
    EXPECT_EQ(file, "f");
    ReadVersionStrings(dir.path(), product, file);
    ReadVersionStrings(dir.path() + "/missing", product, file);
    ReadVersionStrings("/dev/zero", product, file);
    EXPECT_EQ(product, "p");
    EXPECT_EQ(file, "f");
}

TEST(VersionStrings, GarbledOrTruncatedRecordsLeaveOutputsUnchanged) {
    TempDir dir;
    const std::string marker = RecordMarker();
    const std::string cases[] = {
        marker,                // marker at the very end
        marker + "P=1.2\x1F",  // cut after the product
        marker +
            "P=1.2\x1F"
            "F=1.2.3\x1F"
            "\x7F"
            "EN",  // cut in the terminator
        marker +
            "P=\x1F"
            "F=1.2.3\x1F"
            "\x7F"
            "END",  // empty product
        marker +
            "P=1.2\n\x1F"
            "F=1.2.3\x1F"
            "\x7F"
            "END",  // control character
        marker +
            "F=1.2.3\x1F"
            "P=1.2\x1F"
            "\x7F"
            "END",  // fields swapped
        marker + "P=" + std::string(65, '1') +
            "\x1F"
            "F=1\x1F"
            "\x7F"
            "END",  // overlong
    };
    for (const std::string& bytes : cases) {
        std::string path = dir.path() + "/garbled";
        WriteFile(path, "junk" + bytes);
        std::string product = "p";
        std::string file = "f";
        ReadVersionStrings(path, product, file);
        EXPECT_EQ(product, "p") << bytes.size();
        EXPECT_EQ(file, "f") << bytes.size();
    }
}

TEST(VersionStrings, FindsRecordAfterGarbageAndAcrossReadBoundaries) {
    TempDir dir;
    const std::string marker = RecordMarker();
    const std::string record = marker +
                               "P=2.0.1\x1F"
                               "F=2.0.1.9\x1F"
                               "\x7F"
                               "END";
    // Reads go in 64 KiB pieces; put the record across every offset near a
    // boundary, after a garbled record.
    for (size_t offset = 65536 - record.size(); offset <= 65536 + 2; ++offset) {
        std::string bytes(offset, '\0');
        bytes.replace(10, marker.size() + 4, marker + "P=x!");
        bytes += record;
        bytes += std::string(100, 'y');
        std::string path = dir.path() + "/split";
        WriteFile(path, bytes);
        std::string product;
        std::string file;
        ReadVersionStrings(path, product, file);
        EXPECT_EQ(product, "2.0.1") << offset;
        EXPECT_EQ(file, "2.0.1.9") << offset;
    }
}
