#include "core/storage/registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "core/storage/autostart.h"
#include "core/storage/registry_store.h"
#include "test_support.h"

namespace {

constexpr const char* kOptionsKey = "\\Software\\Tarnweld Software\\Line Watchman\\Options";

// Both roots and both autostart folders in a fresh temporary folder.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lw-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        userDb_ = dir_ + "/user/registry.db";
        machineDb_ = dir_ + "/machine/registry.db";
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, userDb_);
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, machineDb_);
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, dir_ + "/user-autostart");
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, dir_ + "/system-autostart");
    }
    void TearDown() override {
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, "");
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, "");
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, "");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Names stored in the database, read with SQLite directly.
    std::string StoredName(const char* sql) const {
        sqlite3* db = nullptr;
        std::string result;
        if (sqlite3_open_v2(userDb_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW) {
                result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return result;
    }

    std::string dir_;
    std::string userDb_;
    std::string machineDb_;
};

using RegistryOpen = RegistryTest;
using RegistryTypedReads = RegistryTest;
using RegistryValues = RegistryTest;
using RegistryAccess = RegistryTest;
using RegistryDamage = RegistryTest;
using RegistryBatch = RegistryTest;

TEST_F(RegistryOpen, AbsolutePathOpensFromTheRootEvenWithAKeyOpen) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open("\\A\\B", true, true));
    reg.WriteString("where", "A\\B");
    ASSERT_TRUE(reg.Open("\\A", false, false));
    EXPECT_EQ(reg.KeyPath(), "A");
    EXPECT_FALSE(reg.ValueExists("where"));
    ASSERT_TRUE(reg.Open("\\A\\B", false, false));
    EXPECT_EQ(reg.ReadString("where"), "A\\B");
}

TEST_F(RegistryOpen, RelativePathOpensBelowTheOpenKey) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open("\\A\\B", true, true));
    reg.WriteString("where", "A\\B");
    ASSERT_TRUE(reg.Open("\\A", false, false));
    ASSERT_TRUE(reg.Open("B", false, false));
    EXPECT_EQ(reg.KeyPath(), "A\\B");
    EXPECT_EQ(reg.ReadString("where"), "A\\B");
    // Without a key open a relative path starts at the root.
    KtRegistry fresh(RegistryRoot::CurrentUser);
    ASSERT_TRUE(fresh.Open("A\\B", false, false));
    EXPECT_EQ(fresh.ReadString("where"), "A\\B");
}

TEST_F(RegistryOpen, FailureLeavesTheOpenKeyAsItWas) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    reg.WriteInt("MonPADOWaitTime", 700);
    EXPECT_FALSE(reg.Open("\\No\\Such\\Key", false, true));
    EXPECT_FALSE(reg.Open("Missing", false, false));
    EXPECT_EQ(reg.KeyPath(), "Software\\Tarnweld Software\\Line Watchman\\Options");
    EXPECT_TRUE(reg.IsWritable());
    EXPECT_EQ(reg.ReadInt("MonPADOWaitTime", 0), 700);
    reg.WriteInt("MonPADOWaitTime", 800);
    EXPECT_EQ(reg.ReadInt("MonPADOWaitTime", 0), 800);
}

TEST_F(RegistryOpen, CreateMakesEveryMissingParent) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    KtRegistry check(RegistryRoot::CurrentUser);
    EXPECT_TRUE(check.Open("\\Software", false, false));
    EXPECT_TRUE(check.Open("Tarnweld Software\\Line Watchman", false, false));
    EXPECT_TRUE(check.Open("Options", false, false));
}

TEST_F(RegistryOpen, MalformedPathsAreRefused) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    EXPECT_FALSE(reg.Open("\\A\\\\B", true, true));
    EXPECT_FALSE(reg.Open("\\\\A", true, true));
    EXPECT_FALSE(reg.Open("\\" + std::string(256, 'k'), true, true));
    EXPECT_FALSE(reg.Open(std::string_view("\\A\0B", 4), true, true));
    EXPECT_TRUE(reg.Open("\\" + std::string(255, 'k') + "\\", true, true));
    EXPECT_EQ(reg.KeyPath(), std::string(255, 'k'));
}

TEST_F(RegistryOpen, WithNoKeyOpenReadsGiveDefaultsAndWritesDoNothing) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    EXPECT_FALSE(reg.ValueExists("x"));
    EXPECT_EQ(reg.ReadString("x", "dflt"), "dflt");
    EXPECT_EQ(reg.ReadInt("x", 42), 42);
    reg.WriteString("x", "v");
    reg.WriteInt("y", 1);
    EXPECT_FALSE(reg.DeleteValue("x"));
    EXPECT_FALSE(reg.BeginBatch());
    EXPECT_FALSE(std::filesystem::exists(userDb_));
}

TEST_F(RegistryOpen, KeyOpenedForReadingRefusesWrites) {
    {
        KtRegistry writer(RegistryRoot::CurrentUser);
        ASSERT_TRUE(writer.Open(kOptionsKey, true, true));
        writer.WriteString("LogDirectory", "old");
    }
    KtRegistry reader(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reader.Open(kOptionsKey, false, false));
    reader.WriteString("LogDirectory", "new");
    EXPECT_FALSE(reader.SetIntValue("Other", 1));
    EXPECT_FALSE(reader.DeleteValue("LogDirectory"));
    EXPECT_EQ(reader.ReadString("LogDirectory"), "old");
}

TEST_F(RegistryOpen, MissingDatabaseHasNoKeysAndIsNotCreatedByReading) {
    KtRegistry machine(RegistryRoot::LocalMachine);
    EXPECT_FALSE(machine.Open(kOptionsKey, false, false));
    EXPECT_TRUE(machine.Open("", false, false));  // the root itself always opens
    EXPECT_FALSE(machine.ValueExists("anything"));
    EXPECT_FALSE(std::filesystem::exists(machineDb_));
}

TEST_F(RegistryTypedReads, DwordReadAsStringGivesTheDefault) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    reg.WriteInt("MonPADISendInterval", 30);
    EXPECT_EQ(reg.ReadString("MonPADISendInterval", "dflt"), "dflt");
    EXPECT_EQ(reg.ReadString("MonPADISendInterval"), "");
    EXPECT_EQ(reg.ReadInt("MonPADISendInterval", 0), 30);
    ASSERT_TRUE(reg.SetValue("Binary", REG_BINARY, std::string("abc\0", 4)));
    EXPECT_EQ(reg.ReadString("Binary", "dflt"), "dflt");
}

TEST_F(RegistryTypedReads, StringReadAsIntGivesItsFirstFourBytes) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    reg.WriteString("Short", "12");     // '1' '2' NUL
    reg.WriteString("Long", "abcdef");  // 'a' 'b' 'c' 'd' of "abcdef\0"
    EXPECT_EQ(reg.ReadInt("Short", -1), 0x3231);
    EXPECT_EQ(reg.ReadInt("Long", -1), 0x64636261);
    ASSERT_TRUE(reg.SetValue("TwoBytes", REG_BINARY, std::string("\xff\x01", 2)));
    EXPECT_EQ(reg.ReadInt("TwoBytes", -1), 0x01ff);
    ASSERT_TRUE(reg.SetValue("Negative", REG_DWORD, std::string("\xfe\xff\xff\xff", 4)));
    EXPECT_EQ(reg.ReadInt("Negative", 0), -2);
}

TEST_F(RegistryTypedReads, StringTypesGiveTheirTextLessTheTerminator) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    ASSERT_TRUE(reg.SetValue("Expand", REG_EXPAND_SZ, std::string("%APPDATA%\\x\0", 12)));
    ASSERT_TRUE(reg.SetValue("Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)));
    ASSERT_TRUE(reg.SetValue("EmptyText", REG_SZ, std::string("\0", 1)));
    ASSERT_TRUE(reg.SetValue("NoData", REG_SZ, ""));
    EXPECT_EQ(reg.ReadString("Expand", "dflt"), "%APPDATA%\\x");  // not expanded
    EXPECT_EQ(reg.ReadString("Multi", "dflt"), "one");
    EXPECT_EQ(reg.ReadString("EmptyText", "dflt"), "");
    EXPECT_EQ(reg.ReadString("NoData", "dflt"), "dflt");  // size 0 counts as missing
    EXPECT_EQ(reg.ReadInt("NoData", 9), 9);
    EXPECT_TRUE(reg.ValueExists("NoData"));
}

TEST_F(RegistryValues, WritesReplaceValueAndType) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    reg.WriteString("PcapSourceMAC", "00:11:22:33:44:55");
    uint32_t type = REG_NONE;
    std::string data;
    ASSERT_TRUE(reg.QueryValue("PcapSourceMAC", type, data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, std::string("00:11:22:33:44:55\0", 18));
    reg.WriteInt("PcapSourceMAC", 7);
    ASSERT_TRUE(reg.QueryValue("PcapSourceMAC", type, data));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, std::string("\x07\0\0\0", 4));
    reg.WriteString("", "default value");  // the key's unnamed value
    EXPECT_EQ(reg.ReadString(""), "default value");
}

TEST_F(RegistryValues, DeleteValueReportsWhetherItExisted) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    reg.WriteString("SndEvtNewACFileName", "/x.wav");
    EXPECT_TRUE(reg.DeleteValue("SndEvtNewACFileName"));
    EXPECT_FALSE(reg.ValueExists("SndEvtNewACFileName"));
    EXPECT_FALSE(reg.DeleteValue("SndEvtNewACFileName"));
}

TEST_F(RegistryValues, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open("\\Software\\Tarnweld Software", true, true));
    reg.WriteString("LogDirectory", "first");
    reg.WriteString("LOGDIRECTORY", "second");
    EXPECT_EQ(reg.ReadString("logdirectory"), "second");
    KtRegistry other(RegistryRoot::CurrentUser);
    ASSERT_TRUE(other.Open("\\SOFTWARE\\tarnweld software", true, true));
    EXPECT_EQ(other.ReadString("LogDirectory"), "second");
    EXPECT_EQ(StoredName("SELECT name FROM keys WHERE parent=0"), "Software");
    EXPECT_EQ(StoredName("SELECT count(*) FROM keys"), "2");
    EXPECT_EQ(StoredName("SELECT name FROM vals"), "LogDirectory");
    // Folding is ASCII only, as the registry's own comparison of these names.
    reg.WriteString("\xC3\x89t\xC3\xA9", "upper");
    reg.WriteString("\xC3\xA9t\xC3\xA9", "lower");
    EXPECT_EQ(reg.ReadString("\xC3\x89t\xC3\xA9"), "upper");
}

TEST_F(RegistryValues, StoreFollowsTheEnvironmentWhenNoPathIsSet) {
    KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, "");
    const std::string envDb = dir_ + "/env/hkcu.db";
    {
        ScopedEnv env("LW_HKCU_DB", envDb.c_str());
        EXPECT_EQ(KtRegistryStore::DatabasePath(RegistryRoot::CurrentUser), envDb);
        KtRegistry reg(RegistryRoot::CurrentUser);
        ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
        reg.WriteInt("SndEvtEnabled", 1);
        EXPECT_TRUE(std::filesystem::exists(envDb));
    }
    ScopedEnv noEnv("LW_HKCU_DB", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", "/somewhere/config");
    EXPECT_EQ(KtRegistryStore::DatabasePath(RegistryRoot::CurrentUser),
              "/somewhere/config/linewatch/registry.db");
    ScopedEnv relative("XDG_CONFIG_HOME", "not/absolute");
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(KtRegistryStore::DatabasePath(RegistryRoot::CurrentUser),
              "/home/someone/.config/linewatch/registry.db");
    ScopedEnv noMachineEnv("LW_HKLM_DB", nullptr);
    KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");
    EXPECT_EQ(KtRegistryStore::DatabasePath(RegistryRoot::LocalMachine),
              "/etc/linewatch/registry.db");
}

TEST_F(RegistryAccess, WritableOpenFailsWhereTheDatabaseCannotBeWritten) {
    // A folder that cannot exist (below a regular file) stops root as well.
    const std::string blocker = dir_ + "/blocker";
    std::ofstream(blocker) << "x";
    KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine,
                                     blocker + "/linewatch/registry.db");
    KtRegistry machine(RegistryRoot::LocalMachine);
    EXPECT_FALSE(machine.Open(kOptionsKey, true, true));
    EXPECT_FALSE(machine.Open("", false, true));
    EXPECT_FALSE(machine.IsOpen());
    // Reading still works: there are simply no keys.
    EXPECT_FALSE(machine.Open(kOptionsKey, false, false));
    EXPECT_TRUE(machine.Open("", false, false));
    EXPECT_EQ(machine.ReadInt("x", 5), 5);
}

TEST_F(RegistryAccess, OrdinaryUserReadsButCannotWriteTheMachineDatabase) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to an ordinary user";
    {
        KtRegistry machine(RegistryRoot::LocalMachine);
        ASSERT_TRUE(machine.Open(kOptionsKey, true, true));
        machine.WriteInt("PcapPromiscuousMode", 1);
    }
    // As under /etc: root owns the folder and the file, others may read them.
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir_ + "/machine").c_str(), 0755), 0);
    ASSERT_EQ(chmod(machineDb_.c_str(), 0644), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
        KtRegistry machine(RegistryRoot::LocalMachine);
        if (machine.Open(kOptionsKey, false, true)) code |= 1;  // must not open writable
        if (!machine.Open(kOptionsKey, false, false)) code |= 2;
        if (machine.ReadInt("PcapPromiscuousMode", 0) != 1) code |= 4;
        machine.WriteInt("PcapPromiscuousMode", 0);
        if (machine.ReadInt("PcapPromiscuousMode", 0) != 1) code |= 8;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bit 1: opened writable, 2: not readable, "
                                         "4: wrong value, 8: write went through";
}

TEST_F(RegistryDamage, DamagedDatabaseReadsDefaultsAndTheNextWriteReplacesIt) {
    {
        KtRegistry reg(RegistryRoot::CurrentUser);
        ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
        reg.WriteInt("MonPADOWaitTime", 700);
    }
    std::ofstream(userDb_, std::ios::binary | std::ios::trunc) << std::string(4096, '\x5a');

    testing::internal::CaptureStderr();
    KtRegistry reader(RegistryRoot::CurrentUser);
    EXPECT_FALSE(reader.Open(kOptionsKey, false, false));
    EXPECT_EQ(reader.ReadInt("MonPADOWaitTime", 500), 500);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("is damaged"), std::string::npos) << said;

    testing::internal::CaptureStderr();
    KtRegistry writer(RegistryRoot::CurrentUser);
    ASSERT_TRUE(writer.Open(kOptionsKey, true, true));
    EXPECT_EQ(writer.ReadInt("MonPADOWaitTime", 500), 500);
    writer.WriteInt("MonPADOWaitTime", 900);
    const std::string repaired = testing::internal::GetCapturedStderr();
    EXPECT_NE(repaired.find("moved it to"), std::string::npos) << repaired;

    KtRegistry check(RegistryRoot::CurrentUser);
    ASSERT_TRUE(check.Open(kOptionsKey, false, false));
    EXPECT_EQ(check.ReadInt("MonPADOWaitTime", 500), 900);
    int asideFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/user")) {
        if (entry.path().filename().string().rfind("registry.db.corrupt-", 0) == 0) {
            ++asideFiles;
            EXPECT_EQ(std::filesystem::file_size(entry.path()), 4096u);  // kept as it was
        }
    }
    EXPECT_EQ(asideFiles, 1);
}

TEST_F(RegistryDamage, TruncatedDatabaseIsFoundDamaged) {
    {
        KtRegistry reg(RegistryRoot::CurrentUser);
        ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
        for (int i = 0; i < 200; ++i)
            reg.WriteString("Value" + std::to_string(i), std::string(200, 'v'));
    }
    // The header promises more pages than the file now has.
    std::filesystem::resize_file(userDb_, std::filesystem::file_size(userDb_) / 2);
    testing::internal::CaptureStderr();
    KtRegistry reader(RegistryRoot::CurrentUser);
    EXPECT_FALSE(reader.Open(kOptionsKey, false, false));
    KtRegistry writer(RegistryRoot::CurrentUser);
    ASSERT_TRUE(writer.Open(kOptionsKey, true, true));
    EXPECT_FALSE(writer.ValueExists("Value0"));
    writer.WriteString("Value0", "fresh");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(writer.ReadString("Value0"), "fresh");
}

TEST_F(RegistryDamage, UnreadableDatabaseIsNotMovedAside) {
    // A folder where the database file should be: unreadable, not damaged.
    std::filesystem::create_directories(userDb_);
    KtRegistry reg(RegistryRoot::CurrentUser);
    EXPECT_FALSE(reg.Open(kOptionsKey, true, true));
    EXPECT_FALSE(reg.Open(kOptionsKey, false, false));
    EXPECT_TRUE(std::filesystem::is_directory(userDb_));
}

TEST_F(RegistryBatch, CommitKeepsEveryWriteAndDiscardKeepsNone) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    reg.WriteInt("A", 1);
    ASSERT_TRUE(reg.BeginBatch());
    EXPECT_FALSE(reg.BeginBatch());
    reg.WriteInt("A", 2);
    reg.WriteString("B", "two");
    EXPECT_EQ(reg.ReadInt("A", 0), 2);  // the batch sees its own writes
    {
        KtRegistry other(RegistryRoot::CurrentUser);
        ASSERT_TRUE(other.Open(kOptionsKey, false, false));
        EXPECT_EQ(other.ReadInt("A", 0), 1);  // nobody else does before the commit
        EXPECT_FALSE(other.ValueExists("B"));
    }
    EXPECT_TRUE(reg.CommitBatch());
    ASSERT_TRUE(reg.BeginBatch());
    reg.WriteInt("A", 3);
    EXPECT_TRUE(reg.DeleteValue("B"));
    reg.DiscardBatch();
    KtRegistry other(RegistryRoot::CurrentUser);
    ASSERT_TRUE(other.Open(kOptionsKey, false, false));
    EXPECT_EQ(other.ReadInt("A", 0), 2);
    EXPECT_EQ(other.ReadString("B"), "two");
}

TEST_F(RegistryBatch, BatchNotCommittedIsDroppedWithTheObject) {
    {
        KtRegistry reg(RegistryRoot::CurrentUser);
        ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
        ASSERT_TRUE(reg.BeginBatch());
        reg.WriteInt("A", 1);
        testing::internal::CaptureStderr();
    }
    testing::internal::GetCapturedStderr();
    KtRegistry other(RegistryRoot::CurrentUser);
    ASSERT_TRUE(other.Open(kOptionsKey, false, false));
    EXPECT_FALSE(other.ValueExists("A"));
}

TEST_F(RegistryBatch, FailedWriteInABatchDropsTheWholeBatch) {
    KtRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
    reg.WriteInt("A", 1);
    ASSERT_TRUE(reg.BeginBatch());
    reg.WriteInt("A", 2);
    EXPECT_FALSE(reg.SetValue(std::string(kMaxRegistryValueNameBytes + 1, 'n'), REG_SZ, "x"));
    EXPECT_FALSE(reg.SetValue("Huge", REG_BINARY, std::string(kMaxRegistryValueBytes + 1, 'x')));
    reg.WriteInt("C", 3);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(reg.CommitBatch());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(reg.ReadInt("A", 0), 1);
    EXPECT_FALSE(reg.ValueExists("C"));
}

TEST_F(RegistryBatch, SecondWriterWaitsForTheFirstInsteadOfFailing) {
    KtRegistry first(RegistryRoot::CurrentUser);
    ASSERT_TRUE(first.Open(kOptionsKey, true, true));
    ASSERT_TRUE(first.BeginBatch());
    first.WriteInt("First", 1);
    bool secondWrote = false;
    std::thread second([&] {
        KtRegistry other(RegistryRoot::CurrentUser);
        if (other.Open(kOptionsKey, false, true)) secondWrote = other.SetIntValue("Second", 2);
    });
    EXPECT_TRUE(first.CommitBatch());
    second.join();
    EXPECT_TRUE(secondWrote);
    EXPECT_EQ(first.ReadInt("First", 0), 1);
    EXPECT_EQ(first.ReadInt("Second", 0), 2);
}

TEST_F(RegistryValues, MachineStoreRefusesANewValuePastItsCapPerKey) {
    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open(kOptionsKey, true, true));
    for (size_t i = 0; i < kMaxMachineValuesPerKey; ++i) {
        ASSERT_TRUE(machine.SetIntValue("V" + std::to_string(i), static_cast<int32_t>(i))) << i;
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(machine.SetIntValue("OneMore", 1));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("refused"), std::string::npos);
    EXPECT_FALSE(machine.ValueExists("OneMore"));
    // Replacing and deleting stay possible, and a deletion makes room.
    EXPECT_TRUE(machine.SetIntValue("v0", 7));
    EXPECT_EQ(machine.ReadInt("V0", 0), 7);
    EXPECT_TRUE(machine.DeleteValue("V1"));
    EXPECT_TRUE(machine.SetIntValue("OneMore", 1));

    // The cap is per key of the machine-wide store; a user's own store has none.
    KtRegistry user(RegistryRoot::CurrentUser);
    ASSERT_TRUE(user.Open(kOptionsKey, true, true));
    for (size_t i = 0; i <= kMaxMachineValuesPerKey; ++i) {
        ASSERT_TRUE(user.SetIntValue("V" + std::to_string(i), 1)) << i;
    }
}

TEST_F(RegistryValues, WriteConnectionThatChangesNothingLeavesASoundStoreAsItWas) {
    {
        KtRegistry reg(RegistryRoot::CurrentUser);
        ASSERT_TRUE(reg.Open(kOptionsKey, true, true));
        reg.WriteInt("A", 1);
    }
    const std::string before = ReadFile(userDb_);
    // Each call opens a write connection whose work changes nothing. The
    // schema and its version stamp are in place, so they are not written
    // again (which would change the file and wait for every reader).
    const RegistryKeyPath options = {"Software", "Tarnweld Software", "Line Watchman", "Options"};
    KtRegistryStore store(userDb_, RegistryRoot::CurrentUser);
    EXPECT_TRUE(store.CreateKey(options));
    EXPECT_FALSE(store.DeleteValue(options, "Missing"));
    EXPECT_FALSE(store.IsDamaged());
    EXPECT_EQ(ReadFile(userDb_), before);
}

}  // namespace
