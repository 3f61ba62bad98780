#include "text/text_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/program_paths.h"
#include "core/storage/ini_file.h"
#include "test_support.h"
#include "text/language_file.h"
#include "text/text_ids.h"

namespace {

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

KtTextTable BuiltInTable() {
    KtTextTable table;
    table.Initialise(BuiltInTexts());
    return table;
}

std::string Utf16Le(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

}  // namespace

TEST(InterfaceTexts, BuiltInTableHoldsItsRowsOnceEach) {
    ASSERT_EQ(BuiltInTexts().size(), 103u);
    const KtTextTable table = BuiltInTable();
    EXPECT_EQ(table.Count(), 102u);
    EXPECT_EQ(table.GetText(TextId::kOk), "OK");
    EXPECT_EQ(table.SectionOf(TextId::kOk), "Shared");
    EXPECT_EQ(table.GetText(304), "St");
    EXPECT_EQ(table.GetText(1306), "Set AC status to \"down\" after unanswered, times:");
    EXPECT_EQ(table.GetText(1006),
              "A PPPoE connection with that name is invalid.\nThe following characters are not "
              "allowed: |><?*\\/:\nPlease correct ISP name and try again.");
    EXPECT_EQ(table.GetText(1406), "Write AC log to file (%MAC-ADDR%.log)");
    EXPECT_EQ(table.GetText(602), "Launch on system startup");
    EXPECT_EQ(table.SectionOf(1408), "OptionsPageLogs");
    EXPECT_EQ(table.GetText(999), "");
    EXPECT_EQ(table.SectionOf(999), "");
    const std::set<std::string_view> sections = {
        "Shared",          "TrayMenu",          "MonitorForm",        "AboutForm",
        "OptionsForm",     "OptionsPageSys",    "OptionsPageSound",   "OptionsPagePppoeDrv",
        "OptionsPagePcap", "NewConnectionForm", "OptionsPageMonitor", "OptionsPageLogs"};
    for (const int id : table.Ids()) {
        EXPECT_FALSE(table.GetText(id).empty()) << id;
        EXPECT_TRUE(sections.contains(table.SectionOf(id))) << id;
    }
}

TEST(InterfaceTexts, LanguageFileReplacesOnlyTheKeysOfItsSections) {
    TempFolder folder;
    const std::string path = folder.File("Test.lng");
    const std::string longValue = std::string(2046, 'x') + "\xC3\xA4" + "tail";
    WriteBytes(path,
               "[Info]\nLanguageName=Test\n"
               "[monitorform]\n301 = Linienw\xC3\xA4"
               "chter \n318=\"Exit\"\n999=Unknown\n"
               "[Shared]\n302=wrong section\n101=" +
                   longValue + "\n104=\n");
    KtTextTable table = BuiltInTable();
    ASSERT_TRUE(table.LoadLanguageFile(path));
    EXPECT_EQ(table.GetText(301),
              "Linienw\xC3\xA4"
              "chter");
    EXPECT_EQ(table.GetText(318), "Exit");
    EXPECT_EQ(table.GetText(302), "Network interface:");
    EXPECT_EQ(table.GetText(999), "");
    // Cut at 2047 bytes, without the first half of the split character.
    EXPECT_EQ(table.GetText(101), std::string(2046, 'x'));
    // A key present with an empty value empties the text.
    EXPECT_EQ(table.GetText(104), "");
    EXPECT_EQ(table.GetText(102), "Cancel");
    EXPECT_EQ(ReadLanguageInfo(path).languageName, "Test");
    EXPECT_EQ(ReadLanguageInfo(path).translator, "");
    EXPECT_EQ(ReadLanguageInfo(folder.File("none.lng")).languageName, "<>");
}

TEST(InterfaceTexts, LanguageFilesInEveryAcceptedEncoding) {
    TempFolder folder;
    const std::string utf16 = folder.File("utf16.lng");
    WriteBytes(utf16, Utf16Le(u"[Shared]\r\n104=Schlie\u00DFen \U0001F600\r\n"));
    const std::string ansi = folder.File("ansi.lng");
    WriteBytes(ansi,
               "[Shared]\n104=Schlie\xDF"
               "en \x80\n");
    const std::string utf8Bom = folder.File("bom.lng");
    WriteBytes(utf8Bom, "\xEF\xBB\xBF[Shared]\n104=Fermer\n");
    for (const auto& [path, expected] : {std::pair{utf16,
                                                   "Schlie\xC3\x9F"
                                                   "en \xF0\x9F\x98\x80"},
                                         std::pair{ansi,
                                                   "Schlie\xC3\x9F"
                                                   "en \xE2\x82\xAC"},
                                         std::pair{utf8Bom, "Fermer"}}) {
        KtTextTable table = BuiltInTable();
        EXPECT_TRUE(table.LoadLanguageFile(path)) << path;
        EXPECT_EQ(table.GetText(104), expected) << path;
    }
}

TEST(InterfaceTexts, BrokenEmptyOrMissingFilesLoadNothing) {
    TempFolder folder;
    const std::string oddUtf16 = folder.File("odd.lng");
    WriteBytes(oddUtf16, Utf16Le(u"[Shared]\n104=X\n") + "\x41");
    const std::string loneSurrogate = folder.File("surrogate.lng");
    WriteBytes(loneSurrogate, Utf16Le(u"[Shared]\n104=X") + std::string("\x00\xD8\n\x00", 4));
    const std::string withNul = folder.File("nul.lng");
    WriteBytes(withNul, std::string("[Shared]\n104=X\n") + std::string(3, '\0'));
    const std::string empty = folder.File("empty.lng");
    WriteBytes(empty, "");
    for (const std::string& path : {oddUtf16, loneSurrogate, withNul, empty, folder.Path(),
                                    folder.File("missing.lng"), std::string()}) {
        KtTextTable table = BuiltInTable();
        EXPECT_FALSE(table.LoadLanguageFile(path)) << path;
        EXPECT_EQ(table.GetText(104), "Close") << path;
    }
}

TEST(InterfaceTexts, TheInstallationsOwnDataFolderIsSearchedLast) {
    // A session whose XDG_DATA_DIRS leaves the installation's data folder out:
    // bin/../share/linewatch/language of the executable still counts.
    ScopedEnv dataDirs("XDG_DATA_DIRS", "/nonexistent/a:/nonexistent/b");
    const std::string program = GetProgramFolder();
    const std::string installed =
        program.substr(0, program.rfind('/')) + "/share/linewatch/language";
    const std::vector<std::string> folders = LanguageFolders();
    ASSERT_EQ(folders.size(), 4u);
    EXPECT_EQ(folders[0], program + "/language");
    EXPECT_EQ(folders[1], "/nonexistent/a/linewatch/language");
    EXPECT_EQ(folders[3], installed);
    // Listed once when XDG_DATA_DIRS names it already.
    const std::string share = program.substr(0, program.rfind('/')) + "/share";
    ScopedEnv listed("XDG_DATA_DIRS", share.c_str());
    EXPECT_EQ(LanguageFolders(), (std::vector<std::string>{program + "/language", installed}));
}

TEST(InterfaceTexts, LanguageFilesAreFoundByNameInTheDataFolders) {
    TempFolder folder;
    std::filesystem::create_directories(folder.Path() + "/linewatch/language");
    WriteBytes(folder.Path() + "/linewatch/language/Test.lng", "[AboutForm]\n406=Fassung\n");
    ScopedEnv dataDirs("XDG_DATA_DIRS", ("relative:" + folder.Path() + "/").c_str());
    EXPECT_EQ(FindLanguageFile("Test.lng"), folder.Path() + "/linewatch/language/Test.lng");
    for (const char* name :
         {"", ".", "..", "../language/Test.lng", "language/Test.lng", "No.lng"}) {
        EXPECT_EQ(FindLanguageFile(name), "") << name;
    }
    KtTextTable table;
    EXPECT_TRUE(LoadInterfaceTexts(table, "Test.lng"));
    EXPECT_EQ(table.Count(), 102u);
    EXPECT_EQ(table.GetText(406), "Fassung");
    KtTextTable english;
    EXPECT_FALSE(LoadInterfaceTexts(english, ""));
    EXPECT_EQ(english.GetText(406), "Version");
}

TEST(InterfaceTexts, ShippedLanguageFilesMatchTheTable) {
    const std::string folder = LW_SOURCE_DATA_DIR "/language";
    const KtTextTable builtIn = BuiltInTable();
    KtTextTable english = BuiltInTable();
    ASSERT_TRUE(english.LoadLanguageFile(folder + "/English.lng"));
    KtTextTable german = BuiltInTable();
    ASSERT_TRUE(german.LoadLanguageFile(folder + "/Deutsch.lng"));
    KtLanguageFile germanFile(folder + "/Deutsch.lng");
    for (const int id : builtIn.Ids()) {
        EXPECT_EQ(english.GetText(id), builtIn.GetText(id)) << id;
        // Every id is translated (the marker is what a missing key gives).
        EXPECT_NE(germanFile.ReadString(builtIn.SectionOf(id), std::to_string(id),
                                        KtIniFile::kAbsentMarker),
                  KtIniFile::kAbsentMarker)
            << id;
    }
    EXPECT_EQ(german.GetText(TextId::kCancel), "Abbrechen");
    EXPECT_EQ(german.GetText(TextId::kColumnMac), "MAC-Adresse");
    EXPECT_EQ(ReadLanguageInfo(folder + "/Deutsch.lng").languageName, "Deutsch");
}
