#include "core/storage/ini_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lw-ini-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/linewatch.ini";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void Put(const std::string& text) const {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    }
    std::string Get() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    ino_t Inode() const {
        struct stat st {};
        return stat(path_.c_str(), &st) == 0 ? st.st_ino : 0;
    }

    std::string dir_;
    std::string path_;
};

using IniReading = IniFileTest;
using IniReadInt = IniFileTest;
using IniWriting = IniFileTest;
using IniBatch = IniFileTest;
using IniDamage = IniFileTest;

TEST_F(IniReading, MissingFileReadsEmptyAndTheFirstWriteCreatesIt) {
    KtIniFile ini(path_);
    ini.SetSection("Options");
    EXPECT_FALSE(ini.ValueExists("LogDirectory"));
    EXPECT_EQ(ini.ReadString("LogDirectory", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInt("MonPADOWaitTime", 500), 500);
    EXPECT_FALSE(std::filesystem::exists(path_));
    ini.WriteInt("MonPADOWaitTime", 700);
    EXPECT_EQ(Get(), "[Options]\nMonPADOWaitTime=700\n");
    EXPECT_EQ(ini.ReadInt("MonPADOWaitTime", 500), 700);
}

TEST_F(IniReading, SectionsAndKeysIgnoreCase) {
    Put("[OPTIONS]\nlogdirectory=/var/log/lw\n");
    KtIniFile ini;
    ini.SetFileName(path_);
    ini.SetSection("Options");
    EXPECT_EQ(ini.ReadString("LogDirectory"), "/var/log/lw");
    EXPECT_EQ(ini.ReadString("options", "LOGDIRECTORY", ""), "/var/log/lw");
}

TEST_F(IniReading, TrimsBlanksAndStripsOnePairOfQuotes) {
    Put("[S]\n"
        "  a =  value with inner  blanks  \n"
        "b=\"quoted\"\n"
        "c='single'\n"
        "d=\"\"twice\"\"\n"
        "e=\"mismatched'\n"
        "f=\"\n"
        "g=\n"
        "h=x=y\n"
        "[ Spaced ]\n"
        "k=v\n");
    KtIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("S", "a", "-"), "value with inner  blanks");
    EXPECT_EQ(ini.ReadString("S", "b", "-"), "quoted");
    EXPECT_EQ(ini.ReadString("S", "c", "-"), "single");
    EXPECT_EQ(ini.ReadString("S", "d", "-"), "\"twice\"");
    EXPECT_EQ(ini.ReadString("S", "e", "-"), "\"mismatched'");
    EXPECT_EQ(ini.ReadString("S", "f", "-"), "\"");
    EXPECT_EQ(ini.ReadString("S", "g", "-"), "");  // present but empty: not the default
    EXPECT_EQ(ini.ReadString("S", "h", "-"), "x=y");
    EXPECT_EQ(ini.ReadString("Spaced", "k", "-"), "v");
}

TEST_F(IniReading, ReadsAtMost2047Characters) {
    Put("[S]\nlong=" + std::string(3000, 'x') + "\n");
    KtIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("S", "long", ""), std::string(2047, 'x'));
    EXPECT_EQ(ini.ReadString("S", "missing", std::string(2100, 'd')), std::string(2047, 'd'));
}

TEST_F(IniReading, AbsentMarkerValueReadsAsAbsent) {
    Put("[Options]\nOdd=[~!@#$%^&*()_+]\nNormal=1\n");
    KtIniFile ini(path_);
    ini.SetSection("Options");
    EXPECT_FALSE(ini.ValueExists("Odd"));
    EXPECT_TRUE(ini.ValueExists("Normal"));
}

TEST_F(IniReading, FirstSectionAndFirstKeyOfANameCount) {
    Put("[S]\nk=first\nk=second\n[T]\nk=other\n[s]\nk=third\nonly=later\n");
    KtIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("S", "k", ""), "first");
    EXPECT_EQ(ini.ReadString("S", "only", "none"), "none");
}

TEST_F(IniReading, CommentsAndLinesWithoutKeysAreNotKeys) {
    Put("; k=commented\n[S]\n;k=commented\nstray line\n=novalue\nk=real\n");
    KtIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("S", "k", ""), "real");
    EXPECT_EQ(ini.ReadString("S", ";k", "none"), "none");
}

TEST_F(IniReading, WindowsLineEndsAndByteOrderMark) {
    Put("\xEF\xBB\xBF[Texts]\r\n301=Line Watchman\r\n302=Ready\r\n");
    KtIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("Texts", "301", ""), "Line Watchman");
    EXPECT_EQ(ini.ReadString("Texts", "302", ""), "Ready");
    ASSERT_TRUE(ini.WriteString("Texts", "303", "New"));
    EXPECT_EQ(Get(), "\xEF\xBB\xBF[Texts]\r\n301=Line Watchman\r\n302=Ready\r\n303=New\r\n");
}

TEST_F(IniReading, SeesChangesMadeByOthersBetweenReads) {
    Put("[S]\nk=1\n");
    KtIniFile ini(path_);
    EXPECT_EQ(ini.ReadInt("S", "k", 0), 1);
    KtIniFile other(path_);
    ASSERT_TRUE(other.WriteString("S", "k", "2"));
    EXPECT_EQ(ini.ReadInt("S", "k", 0), 2);
    std::filesystem::remove(path_);
    EXPECT_EQ(ini.ReadInt("S", "k", 0), 0);
}

TEST_F(IniReadInt, ConvertsLikeThePrivateProfileFunction) {
    Put("[S]\n"
        "plain=42\nblanks=   7\nplus=+9\nminus=-5\ntrailing=12abc\nletters=abc\nhex=0x10\n"
        "quoted=\"15\"\nempty=\nwraps=4294967297\nspaced=- 3\n");
    KtIniFile ini(path_);
    EXPECT_EQ(ini.ReadInt("S", "plain", -1), 42);
    EXPECT_EQ(ini.ReadInt("S", "blanks", -1), 7);
    EXPECT_EQ(ini.ReadInt("S", "plus", -1), 9);
    EXPECT_EQ(ini.ReadInt("S", "minus", -1), -5);
    EXPECT_EQ(ini.ReadInt("S", "trailing", -1), 12);
    EXPECT_EQ(ini.ReadInt("S", "letters", -1), 0);
    EXPECT_EQ(ini.ReadInt("S", "hex", -1), 0);
    EXPECT_EQ(ini.ReadInt("S", "quoted", -1), 15);
    EXPECT_EQ(ini.ReadInt("S", "empty", -1), -1);
    EXPECT_EQ(ini.ReadInt("S", "missing", -1), -1);
    EXPECT_EQ(ini.ReadInt("S", "wraps", -1), 1);
    EXPECT_EQ(ini.ReadInt("S", "spaced", -1), 0);
}

TEST_F(IniWriting, KeepsCommentsOrderAndEverythingElse) {
    Put("; Line Watchman settings\n"
        "[Other]\n"
        "x=1\n"
        "\n"
        "[Options]\n"
        "; the probe interval\n"
        "  MonPADISendInterval = 30\n"
        "SndEvtEnabled=0\n"
        "\n"
        "; trailing comment\n"
        "[Last]\n"
        "y=2");
    KtIniFile ini(path_);
    ini.SetSection("options");
    ini.WriteInt("monpadisendinterval", 60);
    ini.WriteString("LogDirectory", "/var/log");
    EXPECT_TRUE(ini.WriteString("Brand New", "k", "v"));
    EXPECT_EQ(Get(),
              "; Line Watchman settings\n"
              "[Other]\n"
              "x=1\n"
              "\n"
              "[Options]\n"
              "; the probe interval\n"
              "  MonPADISendInterval = 60\n"
              "SndEvtEnabled=0\n"
              "LogDirectory=/var/log\n"
              "\n"
              "; trailing comment\n"
              "[Last]\n"
              "y=2\n"
              "\n"
              "[Brand New]\n"
              "k=v\n");
    EXPECT_EQ(Names(), std::vector<std::string>{"linewatch.ini"});  // no temporary file left
}

TEST_F(IniWriting, ValuesComeBackAsWritten) {
    KtIniFile ini(path_);
    ini.SetSection("Options");
    const std::vector<std::string> values = {"  leading",
                                             "trailing\t",
                                             "\"quoted\"",
                                             "'single'",
                                             "\"half",
                                             "a = b ; c",
                                             "",
                                             "[~!@#$%^&*()_+] x",
                                             "%APPDATA%\\Tarnweld Lab\\Line Watchman"};
    for (size_t i = 0; i < values.size(); ++i) {
        ini.WriteString("Key" + std::to_string(i), values[i]);
    }
    KtIniFile reader(path_);
    reader.SetSection("Options");
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(reader.ReadString("Key" + std::to_string(i), "-"), values[i]) << i;
    }
    ini.WriteInt("Negative", -2147483647 - 1);
    EXPECT_EQ(reader.ReadInt("Negative", 0), -2147483647 - 1);
}

TEST_F(IniWriting, RefusesWhatAnIniFileCannotHoldAndChangesNothing) {
    Put("[Options]\nk=old\n");
    KtIniFile ini(path_);
    EXPECT_FALSE(ini.WriteString("Options", "k", "two\nlines"));
    EXPECT_FALSE(ini.WriteString("Options", "k", "cr\rhere"));
    EXPECT_FALSE(ini.WriteString("Options", "k", std::string("nul\0", 4)));
    EXPECT_FALSE(ini.WriteString("Options", "new\nkey", "v"));
    EXPECT_FALSE(ini.WriteString("Options", "a=b", "v"));
    EXPECT_FALSE(ini.WriteString("Options", "[k", "v"));
    EXPECT_FALSE(ini.WriteString("Options", ";k", "v"));
    EXPECT_FALSE(ini.WriteString("Options", "  ", "v"));
    EXPECT_FALSE(ini.WriteString("Op]tions", "k", "v"));
    EXPECT_FALSE(ini.WriteString("", "k", "v"));
    ini.SetSection("Options");
    ini.WriteString("k", "line\nbreak");
    EXPECT_EQ(Get(), "[Options]\nk=old\n");
}

TEST_F(IniWriting, DeleteValueIsNotSupportedAndKeepsTheKey) {
    Put("[Options]\nPcapDeviceName=eth0\n");
    KtIniFile ini(path_);
    ini.SetSection("Options");
    EXPECT_FALSE(ini.DeleteValue("PcapDeviceName"));
    EXPECT_EQ(ini.ReadString("PcapDeviceName"), "eth0");
    EXPECT_EQ(Get(), "[Options]\nPcapDeviceName=eth0\n");
}

TEST_F(IniWriting, KeepsTheFileModeAndRefusesToWriteThroughASymbolicLink) {
    std::ofstream(path_) << "[S]\nk=1\n";
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
    KtIniFile direct(path_);
    ASSERT_TRUE(direct.WriteString("S", "k", "2"));
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A link in the file's place is neither written through nor replaced.
    const std::string linked = dir_ + "/linked.ini";
    const std::string real = dir_ + "/real.ini";
    std::ofstream(real) << "[S]\nk=1\n";
    std::filesystem::create_symlink(real, linked);
    KtIniFile ini(linked);
    EXPECT_FALSE(ini.WriteString("S", "k", "2"));
    EXPECT_TRUE(std::filesystem::is_symlink(linked));
    EXPECT_EQ(ReadFile(real), "[S]\nk=1\n");
}

TEST_F(IniWriting, RemovesTemporaryFilesThatKilledWritersLeftLongAgo) {
    const std::string stale = dir_ + "/.linewatch.ini.tmp-AAAAAA";
    const std::string fresh = dir_ + "/.linewatch.ini.tmp-BBBBBB";
    const std::string foreign = dir_ + "/.other.ini.tmp-CCCCCC";
    for (const std::string& name : {stale, fresh, foreign}) std::ofstream(name) << "partial";
    const timespec longAgo[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, stale.c_str(), longAgo, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, foreign.c_str(), longAgo, 0), 0);
    KtIniFile ini(path_);
    ASSERT_TRUE(ini.WriteString("S", "k", "v"));
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(fresh));  // may belong to a writer at work
    EXPECT_TRUE(std::filesystem::exists(foreign));
}

TEST_F(IniBatch, WritesLandTogetherInOneReplacement) {
    Put("[Options]\nA=0\n");
    const ino_t before = Inode();
    KtIniFile ini(path_);
    ini.SetSection("Options");
    ASSERT_TRUE(ini.BeginBatch());
    EXPECT_FALSE(ini.BeginBatch());
    ini.WriteInt("A", 1);
    ini.WriteString("B", "two");
    EXPECT_EQ(ini.ReadInt("A", 0), 1);  // the batch sees its own writes
    EXPECT_EQ(Get(), "[Options]\nA=0\n");
    EXPECT_EQ(Inode(), before);
    EXPECT_TRUE(ini.CommitBatch());
    EXPECT_EQ(Get(), "[Options]\nA=1\nB=two\n");
    EXPECT_FALSE(ini.CommitBatch());
}

TEST_F(IniBatch, DiscardedBatchWritesNothing) {
    KtIniFile ini(path_);
    ini.SetSection("Options");
    ASSERT_TRUE(ini.BeginBatch());
    ini.WriteInt("A", 1);
    ini.DiscardBatch();
    EXPECT_FALSE(std::filesystem::exists(path_));
    EXPECT_FALSE(ini.ValueExists("A"));
    ASSERT_TRUE(ini.BeginBatch());
    EXPECT_TRUE(ini.CommitBatch());  // nothing to write is no failure
    EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(IniDamage, BinaryFileReadsEmptyAndTheNextWriteMovesItAside) {
    const std::string junk("[Options]\nA=1\n\0\x01\x02garbage", 24);
    Put(junk);
    testing::internal::CaptureStderr();
    KtIniFile ini(path_);
    ini.SetSection("Options");
    EXPECT_FALSE(ini.ValueExists("A"));
    EXPECT_EQ(ini.ReadInt("A", 7), 7);
    ini.WriteInt("A", 2);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("not a text file"), std::string::npos) << said;
    EXPECT_NE(said.find("moved it to"), std::string::npos) << said;
    EXPECT_EQ(Get(), "[Options]\nA=2\n");
    int aside = 0;
    for (const std::string& name : Names()) {
        if (name.rfind("linewatch.ini.corrupt-", 0) == 0) {
            ++aside;
            std::ifstream in(dir_ + "/" + name, std::ios::binary);
            std::ostringstream kept;
            kept << in.rdbuf();
            EXPECT_EQ(kept.str(), junk);
        }
    }
    EXPECT_EQ(aside, 1);
}

TEST_F(IniDamage, UnreadableFileReadsEmptyAndIsNeverOverwritten) {
    // A folder in the file's place cannot be read as a file, even by root.
    std::filesystem::create_directories(path_ + "/inside");
    testing::internal::CaptureStderr();
    KtIniFile ini(path_);
    ini.SetSection("Options");
    EXPECT_EQ(ini.ReadString("A", "dflt"), "dflt");
    EXPECT_FALSE(ini.WriteString("Options", "A", "1"));
    EXPECT_FALSE(ini.BeginBatch());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot be read"), std::string::npos) << said;
    EXPECT_TRUE(std::filesystem::is_directory(path_ + "/inside"));
}

}  // namespace
