#include "core/storage/ini_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ascii_text.h"
#include "core/debug_output.h"
#include "core/file_system.h"

namespace {

enum class LineKind { Blank, Comment, Section, Key, Other };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed, quotes still on
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

ParsedLine ParseLine(std::string_view raw, bool first) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (first && raw.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        raw.remove_prefix(kByteOrderMark.size());
    }
    ParsedLine line;
    const std::string_view text = Trim(raw);
    if (text.empty()) {
        line.kind = LineKind::Blank;
    } else if (text.front() == ';') {
        line.kind = LineKind::Comment;
    } else if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close != std::string_view::npos) {
            line.kind = LineKind::Section;
            line.name = Trim(text.substr(1, close - 1));
        }
    } else {
        const size_t equals = text.find('=');
        if (equals != std::string_view::npos && equals > 0) {
            line.kind = LineKind::Key;
            line.name = Trim(text.substr(0, equals));
            line.value = Trim(text.substr(equals + 1));
        }
    }
    return line;
}

std::string_view StripQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The text to write after "key=" so that reading gives value back.
std::string EncodeValue(std::string_view value) {
    const bool blankEnds = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
    if (blankEnds || StripQuotes(value).size() != value.size()) {
        return "\"" + std::string(value) + "\"";
    }
    return std::string(value);
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

KtIniFile::KtIniFile() = default;

KtIniFile::KtIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

KtIniFile::~KtIniFile() {
    if (batch_ != nullptr && batch_->dirty) {
        DebugOutput("INI batch for " + batch_->path + " dropped: it was not committed.\n");
    }
}

void KtIniFile::SetFileName(std::string_view fileName) {
    fileName_ = fileName;
}

void KtIniFile::SetSection(std::string_view section) {
    section_ = section;
}

std::unique_ptr<KtIniFile::Document> KtIniFile::Load(const std::string& path) {
    auto doc = std::make_unique<Document>();
    doc->path = path;
    std::string text;
    const SmallFileRead read = ReadSmallFile(path, kMaxFileBytes, text);
    if (read.status == SmallFileStatus::kOpenFailed) {
        if (read.error != ENOENT) {
            doc->unreadable = true;
            DebugOutput("INI file " + path + " cannot be read (" + std::strerror(read.error) +
                        "); it reads as empty.\n");
        }
        return doc;
    }
    const struct stat& st = read.info;
    doc->broken = read.status == SmallFileStatus::kTooLarge;
    const bool readOk =
        read.status == SmallFileStatus::kOk || read.status == SmallFileStatus::kTooLarge;
    doc->exists = true;
    doc->device = st.st_dev;
    doc->inode = st.st_ino;
    doc->size = st.st_size;
    doc->modified = st.st_mtim;
    if (!readOk) {
        doc->unreadable = true;
        DebugOutput("INI file " + path + " cannot be read; it reads as empty.\n");
        return doc;
    }
    if (!doc->broken && text.find('\0') != std::string::npos) doc->broken = true;
    if (doc->broken) {
        DebugOutput("INI file " + path + " is not a text file; it reads as empty and the next " +
                    "write replaces it.\n");
        return doc;
    }
    size_t start = 0;
    bool sawCrLf = false;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            sawCrLf = sawCrLf || end < text.size();
        }
        doc->lines.push_back(std::move(line));
        start = next;
    }
    if (sawCrLf) doc->lineEnd = "\r\n";
    return doc;
}

const KtIniFile::Document* KtIniFile::Current() {
    if (batch_ != nullptr && batch_->path == fileName_) return batch_.get();
    if (cache_ != nullptr && cache_->path == fileName_) {
        // Reuse the parsed file while it is the same file, unchanged. Every write
        // renames a new file into place, so a rewrite always changes the inode.
        struct stat st {};
        const bool present = stat(fileName_.c_str(), &st) == 0;
        const bool same = present ? (cache_->exists && st.st_dev == cache_->device &&
                                     st.st_ino == cache_->inode && st.st_size == cache_->size &&
                                     st.st_mtim.tv_sec == cache_->modified.tv_sec &&
                                     st.st_mtim.tv_nsec == cache_->modified.tv_nsec)
                                  : (!cache_->exists && errno == ENOENT);
        if (same) return cache_.get();
    }
    cache_ = Load(fileName_);
    return cache_.get();
}

bool KtIniFile::Lookup(const Document& doc, std::string_view section, std::string_view key,
                       std::string& value) const {
    section = Trim(section);
    key = Trim(key);
    bool inSection = false;
    bool sectionSeen = false;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        const ParsedLine line = ParseLine(doc.lines[i], i == 0);
        if (line.kind == LineKind::Section) {
            if (inSection) return false;  // only the first section of a name counts
            inSection = !sectionSeen && EqualsIgnoringAsciiCase(line.name, section);
            sectionSeen = sectionSeen || inSection;
        } else if (inSection && line.kind == LineKind::Key &&
                   EqualsIgnoringAsciiCase(line.name, key)) {
            value = StripQuotes(line.value);
            return true;
        }
    }
    return false;
}

bool KtIniFile::Apply(Document& doc, std::string_view section, std::string_view key,
                      std::string_view value) const {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty() || HasLineBreakOrNul(section) || HasLineBreakOrNul(key) ||
        HasLineBreakOrNul(value) || section.find(']') != std::string_view::npos ||
        key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';') {
        DebugOutput(
            "INI write refused: the section, key or value cannot be stored in an INI file.\n");
        return false;
    }
    if (doc.broken) {
        doc.lines.clear();
        doc.lineEnd = "\n";
    }
    const std::string encoded = EncodeValue(value);
    size_t header = doc.lines.size();
    size_t insertAt = doc.lines.size();
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        const ParsedLine line = ParseLine(doc.lines[i], i == 0);
        if (header == doc.lines.size()) {
            if (line.kind == LineKind::Section && EqualsIgnoringAsciiCase(line.name, section)) {
                header = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (line.kind == LineKind::Section) break;
        if (line.kind == LineKind::Key) {
            if (EqualsIgnoringAsciiCase(line.name, key)) {
                // Keep the key's own spelling and indentation; replace the value only.
                const std::string& raw = doc.lines[i];
                size_t valueStart = raw.find('=') + 1;
                while (valueStart < raw.size() && IsBlank(raw[valueStart])) ++valueStart;
                doc.lines[i] = raw.substr(0, valueStart) + encoded;
                doc.dirty = true;
                return true;
            }
            insertAt = i + 1;
        }
    }
    const std::string newLine = std::string(key) + "=" + encoded;
    if (header == doc.lines.size()) {
        if (!doc.lines.empty() &&
            ParseLine(doc.lines.back(), doc.lines.size() == 1).kind != LineKind::Blank) {
            doc.lines.emplace_back();
        }
        doc.lines.push_back("[" + std::string(section) + "]");
        doc.lines.push_back(newLine);
    } else {
        doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
    }
    doc.dirty = true;
    return true;
}

bool KtIniFile::Save(Document& doc) {
    if (doc.broken && doc.exists) {
        const std::string aside = DamagedFileName(doc.path);
        if (std::rename(doc.path.c_str(), aside.c_str()) != 0) {
            DebugOutput("INI file " + doc.path +
                        " is not a text file and cannot be moved aside.\n");
            return false;
        }
        DebugOutput("INI file " + doc.path + " was not a text file; moved it to " + aside + ".\n");
        doc.broken = false;
        doc.exists = false;
    }
    std::string content;
    for (const std::string& line : doc.lines) {
        content += line;
        content += doc.lineEnd;
    }
    if (!ReplaceFileAtomically(doc.path, content, 0644)) return false;
    doc.dirty = false;
    cache_.reset();  // the next read sees the new file
    return true;
}

bool KtIniFile::ValueExists(std::string_view name) {
    return ReadString(section_, name, kAbsentMarker) != kAbsentMarker;
}

std::string KtIniFile::ReadString(std::string_view name, std::string_view defaultValue) {
    return ReadString(section_, name, defaultValue);
}

std::string KtIniFile::ReadString(std::string_view name) {
    return ReadString(section_, name, "");
}

int32_t KtIniFile::ReadInt(std::string_view name, int32_t defaultValue) {
    return ReadInt(section_, name, defaultValue);
}

int32_t KtIniFile::ReadInt(std::string_view name) {
    return ReadInt(section_, name, 0);
}

void KtIniFile::WriteString(std::string_view name, std::string_view value) {
    WriteString(section_, name, value);
}

void KtIniFile::WriteInt(std::string_view name, int32_t value) {
    WriteInt(section_, name, value);
}

bool KtIniFile::DeleteValue(std::string_view /*name*/) {
    return false;
}

std::string KtIniFile::ReadString(std::string_view section, std::string_view key,
                                  std::string_view defaultValue) {
    std::string value;
    const Document* doc = Current();
    if (doc == nullptr || !Lookup(*doc, section, key, value)) value = defaultValue;
    if (value.size() > kMaxValueChars) value.resize(kMaxValueChars);
    return value;
}

int32_t KtIniFile::ReadInt(std::string_view section, std::string_view key, int32_t defaultValue) {
    std::string value;
    const Document* doc = Current();
    if (doc == nullptr || !Lookup(*doc, section, key, value) || value.empty()) return defaultValue;
    return ParseInt(value);
}

bool KtIniFile::WriteString(std::string_view section, std::string_view key,
                            std::string_view value) {
    if (batch_ != nullptr && batch_->path == fileName_) return Apply(*batch_, section, key, value);
    std::unique_ptr<Document> doc = Load(fileName_);
    if (doc->unreadable) return false;  // never replace what could not be read
    if (!Apply(*doc, section, key, value)) return false;
    return Save(*doc);
}

bool KtIniFile::WriteInt(std::string_view section, std::string_view key, int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool KtIniFile::BeginBatch() {
    if (batch_ != nullptr) return false;
    std::unique_ptr<Document> doc = Load(fileName_);
    if (doc->unreadable) return false;
    batch_ = std::move(doc);
    return true;
}

bool KtIniFile::CommitBatch() {
    if (batch_ == nullptr) return false;
    std::unique_ptr<Document> doc = std::move(batch_);
    return !doc->dirty || Save(*doc);
}

void KtIniFile::DiscardBatch() {
    batch_.reset();
}

int32_t KtIniFile::ParseInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    // Wraps modulo 2^32 like the Windows conversion; no overflow is undefined.
    uint32_t result = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        result = result * 10u + static_cast<uint32_t>(text[i] - '0');
    }
    if (negative) result = 0u - result;
    return static_cast<int32_t>(result);
}
