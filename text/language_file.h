#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class KtIniFile;

// Turns the bytes of a language file into UTF-8 text. Accepted: UTF-8 (a
// byte-order mark is dropped), UTF-16LE starting with its byte-order mark, and
// anything else as Windows-1252. Returns false, leaving utf8 empty, for text
// that cannot be a language file: a NUL character, UTF-16 with an odd length
// or an unpaired surrogate.
bool DecodeLanguageText(std::string_view bytes, std::string& utf8);

// Folders searched for language files, in order: "language" beside the
// executable (portable and build-tree runs), then "linewatch/language" under
// each folder of $XDG_DATA_DIRS (default /usr/local/share:/usr/share), last
// "share/linewatch/language" of the installation the executable belongs to
// (the parent of its folder) unless listed already.
std::vector<std::string> LanguageFolders();

// Full path of the language file with this name in the first folder that holds
// it as a regular file; empty when none does or when the name is empty, ".",
// "..", or holds a slash (a name, never a path).
std::string FindLanguageFile(std::string_view fileName);

// A language file opened for reading with the private-profile rules of the INI
// module, after its text was decoded (DecodeLanguageText). A missing, empty,
// unreadable, oversized or undecodable file opens as not loaded, and every
// read then gives its default.
class KtLanguageFile {
  public:
    explicit KtLanguageFile(const std::string& path);
    ~KtLanguageFile();
    KtLanguageFile(const KtLanguageFile&) = delete;
    KtLanguageFile& operator=(const KtLanguageFile&) = delete;

    bool Loaded() const { return ini_ != nullptr; }
    // The value of key in section, at most 2047 bytes, never ending inside a
    // UTF-8 sequence; defaultValue when the file, section or key is missing.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue);

  private:
    int textFd_ = -1;  // decoded text in an anonymous in-memory file
    std::unique_ptr<KtIniFile> ini_;
};

// The three values of the "Info" section that the language list shows.
struct KtLanguageInfo {
    std::string languageName;  // "<>" when missing
    std::string translator;
    std::string productVersion;
};
KtLanguageInfo ReadLanguageInfo(const std::string& path);
