#include "text/language_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/debug_output.h"
#include "core/file_system.h"
#include "core/program_paths.h"
#include "core/storage/ini_file.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

// Code points of Windows-1252 bytes 0x80 to 0x9F; the five bytes the code page
// leaves undefined map to the C1 control of the same number, as Windows does.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// Length of the well-formed UTF-8 sequence at the front of text, 0 if there is none.
size_t Utf8SequenceLength(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) return 0;
        if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
        if (lead == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
        if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
        if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

bool IsUtf8(std::string_view text) {
    while (!text.empty()) {
        const size_t length = Utf8SequenceLength(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

bool DecodeUtf16Le(std::string_view bytes, std::string& out) {
    if (bytes.size() % 2 != 0) return false;
    const auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
               (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8);
    };
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t codePoint = unit(i);
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
            if (i + 3 >= bytes.size()) return false;
            const uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
            return false;
        }
        AppendUtf8(out, codePoint);
    }
    return true;
}

void DecodeWindows1252(std::string_view bytes, std::string& out) {
    for (const char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte >= 0x80 && byte <= 0x9F) {
            AppendUtf8(out, kWindows1252High[byte - 0x80]);
        } else {
            AppendUtf8(out, byte);
        }
    }
}

// Reads a regular file of at most KtIniFile::kMaxFileBytes whole.
bool ReadLanguageFile(const std::string& path, std::string& bytes) {
    const SmallFileRead read = ReadSmallFile(path, KtIniFile::kMaxFileBytes, bytes);
    if (read.status == SmallFileStatus::kOpenFailed) {
        if (read.error != ENOENT) {
            DebugOutput("Language file " + path + " cannot be opened (" +
                        std::strerror(read.error) + ").\n");
        }
        return false;
    }
    if (read.status != SmallFileStatus::kOk) {
        DebugOutput("Language file " + path + " cannot be read; it is not used.\n");
        return false;
    }
    return true;
}

}  // namespace

bool DecodeLanguageText(std::string_view bytes, std::string& utf8) {
    utf8.clear();
    bool ok = true;
    if (bytes.starts_with(kUtf16LeBom)) {
        ok = DecodeUtf16Le(bytes.substr(kUtf16LeBom.size()), utf8);
    } else if (bytes.starts_with(kUtf8Bom)) {
        bytes.remove_prefix(kUtf8Bom.size());
        ok = IsUtf8(bytes);
        if (ok) utf8.assign(bytes);
    } else if (IsUtf8(bytes)) {
        utf8.assign(bytes);
    } else {
        DecodeWindows1252(bytes, utf8);
    }
    if (ok && utf8.find('\0') != std::string::npos) ok = false;
    if (!ok) utf8.clear();
    return ok;
}

std::vector<std::string> LanguageFolders() {
    std::vector<std::string> folders;
    const std::string programFolder = GetProgramFolder();
    if (!GetProgramPath().empty()) folders.push_back(programFolder + "/language");
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string_view list =
        dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share:/usr/share";
    while (!list.empty()) {
        const size_t colon = list.find(':');
        std::string_view folder = list.substr(0, colon);
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
        // The XDG rules ignore relative entries.
        if (!folder.starts_with('/')) continue;
        while (folder.size() > 1 && folder.ends_with('/')) folder.remove_suffix(1);
        folders.push_back(std::string(folder == "/" ? "" : folder) + "/linewatch/language");
    }
    // The data folder of the installation the executable belongs to
    // (/usr/bin/linewatch: /usr/share), for sessions whose XDG_DATA_DIRS
    // leaves it out.
    const size_t slash = programFolder.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        std::string installed = programFolder.substr(0, slash) + "/share/linewatch/language";
        if (std::find(folders.begin(), folders.end(), installed) == folders.end()) {
            folders.push_back(std::move(installed));
        }
    }
    return folders;
}

std::string FindLanguageFile(std::string_view fileName) {
    if (fileName.empty() || fileName == "." || fileName == ".." ||
        fileName.find('/') != std::string_view::npos ||
        fileName.find('\0') != std::string_view::npos) {
        return {};
    }
    for (const std::string& folder : LanguageFolders()) {
        std::string path = folder + "/" + std::string(fileName);
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
    }
    return {};
}

KtLanguageFile::KtLanguageFile(const std::string& path) {
    std::string bytes;
    if (path.empty() || !ReadLanguageFile(path, bytes) || bytes.empty()) return;
    std::string text;
    if (!DecodeLanguageText(bytes, text)) {
        DebugOutput("Language file " + path + " is not a text file; it is not used.\n");
        return;
    }
    // The INI module reads files, so the decoded text is handed to it as an
    // anonymous in-memory file that disappears with this object.
    textFd_ = memfd_create("linewatch-language", MFD_CLOEXEC);
    if (textFd_ < 0 || !WriteAll(textFd_, text)) {
        DebugOutput("Language file " + path + " cannot be decoded in memory (" +
                    std::strerror(errno) + "); it is not used.\n");
        return;
    }
    const std::string textPath = "/proc/self/fd/" + std::to_string(textFd_);
    // Without /proc the INI module would read nothing and every text stay as it was.
    if (access(textPath.c_str(), R_OK) != 0) {
        DebugOutput("Language file " + path + " cannot be handed to the INI reader (" +
                    std::strerror(errno) + "); it is not used.\n");
        return;
    }
    ini_ = std::make_unique<KtIniFile>(textPath);
}

KtLanguageFile::~KtLanguageFile() {
    ini_.reset();
    if (textFd_ >= 0) close(textFd_);
}

std::string KtLanguageFile::ReadString(std::string_view section, std::string_view key,
                                       std::string_view defaultValue) {
    if (ini_ == nullptr) return std::string(defaultValue);
    std::string value = ini_->ReadString(section, key, defaultValue);
    // The 2047-byte cut can split a character; drop its first bytes.
    const size_t end = value.size();
    size_t start = end;
    while (start > 0 && end - start < 3 &&
           (static_cast<uint8_t>(value[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start > 0 && static_cast<uint8_t>(value[start - 1]) >= 0xC0) {
        --start;
        if (Utf8SequenceLength(std::string_view(value).substr(start)) != end - start) {
            value.resize(start);
        }
    }
    return value;
}

KtLanguageInfo ReadLanguageInfo(const std::string& path) {
    KtLanguageFile file(path);
    KtLanguageInfo info;
    info.languageName = file.ReadString("Info", "LanguageName", "<>");
    info.translator = file.ReadString("Info", "Translator", "");
    info.productVersion = file.ReadString("Info", "ProductVersion", "");
    return info;
}
