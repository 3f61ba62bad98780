// The package's install and removal steps (linewatch-elevated --package-setup
// and --package-remove) against a temporary machine-wide store, read back the
// way the PPPoE driver page reads it.
#include "elevated/package_seed.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "options/options_pages.h"
#include "test_support.h"

#ifndef LW_TEST_ELEVATED_HELPER
#error "LW_TEST_ELEVATED_HELPER must name the built linewatch-elevated"
#endif

namespace {

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs the helper with the store redirected; the temporary paths hold no
// characters the shell would read.
Outcome RunHelper(const std::string& arguments, const std::string& database) {
    const std::string command = std::string(LW_TEST_ELEVATED_HELPER) + " " + arguments +
                                " --hklm-db " + database + " 2>/dev/null";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[256];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

class PackageSeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.Path().empty());
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, database_);
    }
    void TearDown() override { KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, ""); }

    bool KeyExists(const char* path) {
        RegistryKeyPath key;
        KtRegistry::ParseKeyPath(path, key);
        KtRegistryStore store(database_, RegistryRoot::LocalMachine);
        return store.FindKey(key) == KtRegistryStore::Lookup::Found;
    }

    TempFolder temp_{"lwseed"};
    std::string folder_ = temp_.File("etc-linewatch");
    std::string database_ = folder_ + "/registry.db";
};

TEST_F(PackageSeedTest, SeedsTheDriverValuesOnceAndTakesBackOnlyThose) {
    EXPECT_EQ(ReadWanEndpoints(), std::nullopt);

    Outcome first = RunHelper("--package-setup", database_);
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.output, "folder\nstore\ndriver\nendpoints\n");
    EXPECT_EQ(ReadWanEndpoints(), 1);

    // The page changes the number; a later upgrade keeps it and adds nothing.
    ASSERT_TRUE(WriteWanEndpoints(7));
    Outcome again = RunHelper("--package-setup", database_);
    ASSERT_EQ(again.status, 0);
    EXPECT_EQ(again.output, "");
    EXPECT_EQ(ReadWanEndpoints(), 7);

    // A machine-wide value someone else stored meanwhile.
    {
        KtRegistry other(RegistryRoot::LocalMachine);
        ASSERT_TRUE(other.Open("\\Software\\Somebody\\Else", true, true));
        ASSERT_TRUE(other.SetStringValue("Kept", "yes"));
    }

    // An unknown word changes nothing.
    EXPECT_EQ(RunHelper("--package-remove driver bogus", database_).status, 1);
    EXPECT_EQ(ReadWanEndpoints(), 7);

    Outcome removed = RunHelper("--package-remove folder store driver endpoints", database_);
    ASSERT_EQ(removed.status, 0);
    EXPECT_EQ(ReadWanEndpoints(), std::nullopt);
    EXPECT_FALSE(KeyExists("SYSTEM\\CurrentControlSet\\Enum\\Root\\MS_PPPOEMINIPORT"));
    EXPECT_FALSE(KeyExists("SYSTEM"));
    // The other value, and so the file and its folder, stay.
    KtRegistry other(RegistryRoot::LocalMachine);
    ASSERT_TRUE(other.Open("\\Software\\Somebody\\Else", false, false));
    EXPECT_EQ(other.ReadString("Kept", ""), "yes");
    EXPECT_TRUE(std::filesystem::exists(database_));
}

TEST_F(PackageSeedTest, RemovalLeavesNothingOfAFreshSeedAndKeepsAChangedDriver) {
    ASSERT_EQ(RunHelper("--package-setup", database_).status, 0);
    ASSERT_EQ(RunHelper("--package-remove folder store driver endpoints", database_).status, 0);
    EXPECT_FALSE(std::filesystem::exists(database_));
    EXPECT_FALSE(std::filesystem::exists(folder_));

    // A folder and store that were there before are not the package's; a
    // Driver value someone changed is theirs.
    std::filesystem::create_directories(folder_);
    {
        KtRegistry device(RegistryRoot::LocalMachine);
        ASSERT_TRUE(device.Open("\\" + std::string(kPppoeDeviceKey), true, true));
        ASSERT_TRUE(
            device.SetStringValue("Driver", "{4D36E972-E325-11CE-BFC1-08002bE10318}\\0003"));
    }
    Outcome seeded = RunHelper("--package-setup", database_);
    ASSERT_EQ(seeded.status, 0);
    EXPECT_EQ(seeded.output, "");
    EXPECT_FALSE(KeyExists(PackageSeed::kClassKey));
    ASSERT_EQ(RunHelper("--package-remove folder store driver", database_).status, 0);
    KtRegistry device(RegistryRoot::LocalMachine);
    ASSERT_TRUE(device.Open("\\" + std::string(kPppoeDeviceKey), false, false));
    EXPECT_EQ(device.ReadString("Driver", ""), "{4D36E972-E325-11CE-BFC1-08002bE10318}\\0003");
    EXPECT_TRUE(std::filesystem::exists(database_));
}

TEST_F(PackageSeedTest, RefusesStrayArguments) {
    EXPECT_EQ(RunHelper("--package-setup driver", database_).status, 2);
    EXPECT_EQ(RunHelper("--package-remove --peers-dir /tmp", database_).status, 2);
    EXPECT_FALSE(std::filesystem::exists(folder_));
}

}  // namespace
