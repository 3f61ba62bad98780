#include "connections/phonebook.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "connections/pppd_words.h"
#include "core/elevation/admin_operation.h"
#include "elevated/request_loop.h"
#include "test_support.h"

#ifndef LW_TEST_ELEVATED_HELPER
#error "LW_TEST_ELEVATED_HELPER must name the built linewatch-elevated"
#endif

namespace {

std::vector<std::string> Found(std::string_view acName, std::string_view type = "PPPoE") {
    std::vector<KtRasConnection> entries;
    EXPECT_EQ(FindConnections(type, acName, entries), PhonebookStatus::Ok);
    std::vector<std::string> names;
    for (const KtRasConnection& entry : entries) {
        names.push_back(entry.Name());
    }
    return names;
}

using Names = std::vector<std::string>;

class PhonebookTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.Path().empty());
        SetPeersFolder(folder_.Path());
    }
    void TearDown() override {
        SetPeersFolder({});
        KtAdminOperation::ReleaseInstance();
        KtAdminOperation::SetLaunchCommand({});
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(folder_.File(name)) << text;
    }

    TempFolder folder_{"lwpeers"};
};

}  // namespace

TEST_F(PhonebookTest, FindsPppoeEntriesAimedExactlyAtTheAcInFolderOrder) {
    EXPECT_TRUE(Found("LabAC").empty());                              // empty folder
    Write("zeta", "plugin RP-PPPoE.SO\nnic-eth0\npppoe-ac LabAC\n");  // type case
    Write("alpha", "plugin /usr/lib/pppd/2.4.9/pppoe.so eth0 rp_pppoe_ac \"LabAC\"\n");
    Write("case", "plugin rp-pppoe.so nic-eth0 pppoe-ac labac\n");  // target case
    Write("service", "plugin rp-pppoe.so nic-eth0 pppoe-ac LabAC pppoe-service ISP\n");
    Write("atm", "plugin pppoatm.so 0.35 pppoe-ac LabAC\n");  // other plugin
    Write("modem", "/dev/ttyS0 115200 pppoe-ac LabAC\n");     // no plugin
    Write("commented", "# plugin rp-pppoe.so pppoe-ac LabAC\n/dev/modem\n");
    Write(".backup", "plugin rp-pppoe.so nic-eth0 pppoe-ac LabAC\n");  // not an entry
    std::filesystem::create_directory(folder_.File("folder"));

    EXPECT_EQ(Found("LabAC"), (Names{"alpha", "zeta"}));
    EXPECT_EQ(Found("LabAC", "pppoe"), (Names{"alpha", "zeta"}));
    EXPECT_EQ(Found("labac"), (Names{"case"}));
    EXPECT_TRUE(Found("LabAC", "modem").size() == 1);
    EXPECT_TRUE(Found("Lab").empty());

    // A folder that is not there holds no entries.
    SetPeersFolder(folder_.File("missing"));
    EXPECT_TRUE(Found("LabAC").empty());
}

TEST_F(PhonebookTest, CreateWritesAReadableEntryAndReplacesOneOfTheSameName) {
    ASSERT_EQ(CreateConnection("First AC", "isp & co", "eth0"), S_OK);
    EXPECT_EQ(Found("First AC"), (Names{"isp & co"}));
    ASSERT_EQ(CreateConnection("Second AC", "isp & co", "eth1"), S_OK);
    EXPECT_TRUE(Found("First AC").empty());
    EXPECT_EQ(Found("Second AC"), (Names{"isp & co"}));

    struct stat info {};
    ASSERT_EQ(lstat(folder_.File("isp & co").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (const group* dip = getgrnam("dip"); dip != nullptr && geteuid() == 0) {
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_gid, dip->gr_gid);
    }
    const std::string text = ReadFile(folder_.File("isp & co"));
    EXPECT_NE(text.find("\"nic-eth1\""), std::string::npos);
    // Nothing but the entry is left in the folder (no temporary files).
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.Path()),
                            std::filesystem::directory_iterator()),
              1);

    // The whole AC-Name is the target, however long: the table's 25
    // characters would never connect.
    const std::string longName(kMaxAcNameBytes, 'L');
    ASSERT_EQ(CreateConnection(longName, "long", "eth0"), S_OK);
    EXPECT_EQ(Found(longName), (Names{"long"}));
    EXPECT_TRUE(Found(longName.substr(0, 25)).empty());
}

TEST_F(PhonebookTest, CreateRefusesBadNamesAndLinksAndLeavesTheirTargetsAlone) {
    for (const char* name : {"../escape", ".hidden", "a/b", "", "..", "a\nb"}) {
        EXPECT_EQ(CreateConnection("AC", name, "eth0"), E_INVALIDARG) << name;
    }
    EXPECT_EQ(CreateConnection(std::string("A\0C", 3), "nul", "eth0"), E_INVALIDARG);
    EXPECT_EQ(CreateConnection("AC", "bad adapter", "eth 0"), E_INVALIDARG);

    TempFolder elsewhere("lwvictim");
    const std::string victim = elsewhere.File("victim");
    std::ofstream(victim) << "untouched\n";
    ASSERT_EQ(symlink(victim.c_str(), folder_.File("linked").c_str()), 0);
    EXPECT_EQ(CreateConnection("AC", "linked", "eth0"), E_ACCESSDENIED);
    EXPECT_EQ(ReadFile(victim), "untouched\n");
    EXPECT_FALSE(std::filesystem::exists(elsewhere.File("escape")));
    EXPECT_FALSE(std::filesystem::exists(folder_.File("nul")));
    EXPECT_EQ(DescribeCreateFailure(E_ACCESSDENIED).find(folder_.Path()) != std::string::npos,
              true);

    // A peers folder that is itself a link is not written through either.
    const std::string linkedFolder = elsewhere.File("peers-link");
    ASSERT_EQ(symlink(folder_.Path().c_str(), linkedFolder.c_str()), 0);
    EXPECT_EQ(WritePeersEntryFile(linkedFolder, "x", {"AC", "eth0"}), E_ACCESSDENIED);
}

TEST_F(PhonebookTest, SuggestsTheFirstFreeNameUpToTheEighthNumber) {
    EXPECT_EQ(SuggestConnectionName("AC"), "AC");
    for (const char* taken : {"AC", "AC (1)", "AC (2)"}) {
        Write(taken, "plugin rp-pppoe.so nic-eth0 pppoe-ac Other\n");
    }
    EXPECT_EQ(SuggestConnectionName("AC"), "AC (3)");
    for (int n = 3; n <= 8; ++n) {
        Write("AC (" + std::to_string(n) + ")", "");
    }
    EXPECT_EQ(SuggestConnectionName("AC"), "");
    EXPECT_EQ(SuggestConnectionName("a/b"), "");
    EXPECT_EQ(CheckEntryName("AC (8)"), EntryNameCheck::AlreadyExists);
    EXPECT_EQ(CheckEntryName("AC (9)"), EntryNameCheck::Ok);
    EXPECT_EQ(CheckEntryName("A|C"), EntryNameCheck::Invalid);
    // The suggestion is made from what the AC-Name shows.
    EXPECT_EQ(SuggestConnectionName("\xe2\x80\xae-Lab\xe2\x80\x8bZ"), "LabZ");
}

TEST_F(PhonebookTest, AnExistingFileIsReplacedOnlyWhenItIsOursOrTheUserAgreed) {
    const std::string handWritten = "# my ISP\nplugin rp-pppoe.so\nnic-eth0\nuser \"me@isp\"\n";
    Write("provider", handWritten);
    for (PeersReplace replace : {PeersReplace::None, PeersReplace::OwnEntries}) {
        EXPECT_EQ(CreateConnection("AC", "provider", "eth0", replace), E_ALREADY_EXISTS);
        EXPECT_EQ(ReadFile(folder_.File("provider")), handWritten);
    }
    EXPECT_NE(DescribeCreateFailure(E_ALREADY_EXISTS).find("left as it is"), std::string::npos);

    // The program's own entry is replaced without asking, but not for a
    // request that allows new names only.
    ASSERT_EQ(CreateConnection("First", "ours", "eth0", PeersReplace::None), S_OK);
    EXPECT_EQ(CreateConnection("Second", "ours", "eth0", PeersReplace::None), E_ALREADY_EXISTS);
    EXPECT_EQ(CreateConnection("Second", "ours", "eth0", PeersReplace::OwnEntries), S_OK);
    EXPECT_EQ(Found("Second"), (Names{"ours"}));

    // Through the real helper: the request carries what may be replaced.
    KtAdminOperation::SetLaunchCommand(
        {LW_TEST_ELEVATED_HELPER, "--serve", "--peers-dir", folder_.Path()});
    EXPECT_EQ(KtAdminOperation::WritePeersEntry("provider", "eth0", "AC", PeersReplace::OwnEntries),
              E_ALREADY_EXISTS);
    EXPECT_EQ(ReadFile(folder_.File("provider")), handWritten);
    ASSERT_EQ(KtAdminOperation::WritePeersEntry("provider", "eth0", "AC", PeersReplace::Agreed),
              S_OK);
    EXPECT_EQ(Found("AC"), (Names{"provider"}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.Path()),
                            std::filesystem::directory_iterator()),
              2);  // no temporary file left behind by a refusal
}

TEST_F(PhonebookTest, AFolderThisUserCannotReadSaysToJoinTheDipGroup) {
    ASSERT_EQ(chmod(folder_.Path().c_str(), 0750), 0);
    Write("entry", "plugin rp-pppoe.so nic-eth0 pppoe-ac AC\n");
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to look at the folder as another user";
    }
    TempFolder elsewhere("lwnotmine");
    ASSERT_EQ(chmod(elsewhere.Path().c_str(), 0755), 0);
    // As a user outside the folder's group, in a child process.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        std::vector<KtRasConnection> entries;
        const bool refused =
            FindConnections("PPPoE", "AC", entries) == PhonebookStatus::FolderUnreadable;
        // No name is called taken: the check cannot tell, and the suggestion
        // is the AC-Name.
        const bool untold = CheckEntryName("entry") == EntryNameCheck::FolderUnreadable &&
                            !CanSearchPeersFolder() && SuggestConnectionName("-AC") == "AC";
        // Another folder this user cannot write is refused, never redirected
        // to the system's folder through the helper.
        SetPeersFolder(elsewhere.Path());
        const bool notRedirected = CreateConnection("AC", "elsewhere", "eth0") == E_ACCESSDENIED;
        _exit(refused && entries.empty() ? (untold ? (notRedirected ? 0 : 4) : 2) : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(UnreadableFolderAdvice().find("'dip' group"), std::string::npos);
}

TEST_F(PhonebookTest, TheHelperWritesOnlyCheckedEntriesItBuildsItself) {
    KtAdminOperation::SetLaunchCommand(
        {LW_TEST_ELEVATED_HELPER, "--serve", "--peers-dir", folder_.Path()});
    const std::string hostile = "x\" plugin /tmp/e.so \"\n#";
    ASSERT_EQ(
        KtAdminOperation::WritePeersEntry("via helper", "lwmon0", hostile, PeersReplace::None),
        S_OK);
    EXPECT_EQ(Found(hostile), (Names{"via helper"}));
    const PeersEntryTarget target = ReadPeersEntry(ReadFile(folder_.File("via helper")));
    EXPECT_EQ(target.acName, hostile);
    size_t plugins = 0;
    for (const PppdWords::Word& word : PppdWords::ReadWords(ReadFile(folder_.File("via helper")))) {
        plugins += word.text == "plugin" ? 1 : 0;
    }
    EXPECT_EQ(plugins, 2u);  // the password plugin and the PPPoE plugin

    EXPECT_EQ(KtAdminOperation::WritePeersEntry("../outside", "lwmon0", "AC", PeersReplace::Agreed),
              E_INVALIDARG);
    EXPECT_EQ(KtAdminOperation::WritePeersEntry("x", "lw mon", "AC", PeersReplace::Agreed),
              E_INVALIDARG);
    EXPECT_EQ(KtAdminOperation::WritePeersEntry("x", "lwmon0", std::string(256, 'a'),
                                                PeersReplace::Agreed),
              E_INVALIDARG);
    EXPECT_FALSE(std::filesystem::exists(folder_.Path() + "/../outside"));
    EXPECT_FALSE(std::filesystem::exists(folder_.File("x")));
}

TEST(PeersEntryRequest, IsLoggedWithEntryAdapterAndEscapedAcName) {
    ElevatedProtocol::Request request;
    request.op = ElevatedProtocol::Operation::WritePeersEntry;
    request.keyPath = "isp";
    request.name = "eth0";
    request.value = "a\"b\n";
    EXPECT_EQ(DescribeAcceptedRequest("uid 1000", request),
              "accepted WritePeersEntry for uid 1000: peers entry \"isp\" on adapter \"eth0\" "
              "for AC-Name \"a\\x22b\\x0A\"");
    request.replace = PeersReplace::Agreed;
    EXPECT_NE(DescribeAcceptedRequest("uid 1000", request).find(", replacing what was there"),
              std::string::npos);
}
