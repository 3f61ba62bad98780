#include "connections/pppd_words.h"

#include <algorithm>

namespace PppdWords {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsOctal(int c) {
    return c >= '0' && c <= '7';
}

int HexDigit(int c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr int kEnd = -1;

// The text read one byte at a time, with one byte of push-back.
class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}
    int Next() { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_++]) : kEnd; }
    // Gives back the byte just read (never the end).
    void Unread() { --pos_; }

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

// The byte an escape stands for, c being the byte after the backslash (not a
// newline). Octal and hexadecimal escapes read on; otherwise c is used up
// and the next byte read. In both cases c is left at the byte that follows.
char ReadEscape(Reader& reader, int& c) {
    int value = c;
    switch (c) {
        case 'a':
            value = '\a';
            break;
        case 'b':
            value = '\b';
            break;
        case 'f':
            value = '\f';
            break;
        case 'n':
            value = '\n';
            break;
        case 'r':
            value = '\r';
            break;
        case 's':
            value = ' ';
            break;
        case 't':
            value = '\t';
            break;
        case 'x':
            value = 0;
            c = reader.Next();
            for (int digits = 0; digits < 2 && HexDigit(c) >= 0; ++digits) {
                value = value * 16 + HexDigit(c);
                c = reader.Next();
            }
            return static_cast<char>(value);
        default:
            if (IsOctal(c)) {
                value = 0;
                for (int digits = 0; digits < 3 && IsOctal(c); ++digits) {
                    value = value * 8 + (c - '0');
                    c = reader.Next();
                }
                return static_cast<char>(value & 0xFF);
            }
            break;
    }
    c = reader.Next();
    return static_cast<char>(value);
}

}  // namespace

std::vector<Word> ReadWords(std::string_view text) {
    std::vector<Word> words;
    Reader reader(text);
    for (;;) {
        // Between words: white space, comments and joined lines. An escaped
        // byte starts a word, whatever it is.
        bool escape = false;
        bool comment = false;
        int c = kEnd;
        for (;;) {
            c = reader.Next();
            if (c == kEnd) {
                break;
            }
            if (c == '\n') {
                comment = comment && escape;
                escape = false;
                continue;
            }
            if (comment) {
                continue;
            }
            if (escape) {
                break;
            }
            if (c == '\\') {
                escape = true;
            } else if (c == '#') {
                comment = true;
            } else if (!IsSpace(static_cast<char>(c))) {
                break;
            }
        }

        std::string word;
        size_t length = 0;  // bytes the word had, kept or not
        auto add = [&word, &length](char byte) {
            if (length < kMaxWordBytes) {
                word.push_back(byte);
            }
            ++length;
        };
        int quote = 0;
        while (c != kEnd) {
            if (escape) {
                escape = false;
                if (c == '\n') {
                    c = reader.Next();
                } else {
                    add(ReadEscape(reader, c));
                }
                continue;
            }
            if (c == '\\') {
                escape = true;
            } else if (quote != 0) {
                if (c == quote) {
                    quote = 0;
                } else {
                    add(static_cast<char>(c));
                }
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (IsSpace(static_cast<char>(c)) || c == '#') {
                reader.Unread();
                break;
            } else {
                add(static_cast<char>(c));
            }
            c = reader.Next();
        }
        if (c == kEnd && length == 0) {
            return words;  // no word before the end of the text
        }
        Word result;
        result.truncated = length >= kMaxWordBytes;
        if (result.truncated) {
            word.resize(kMaxWordBytes - 1);
        }
        // pppd holds the word as a C string: an escaped NUL ends it.
        word.resize(std::min(word.size(), word.find('\0')));
        result.text = std::move(word);
        words.push_back(std::move(result));
    }
}

std::optional<std::string> QuoteWord(std::string_view value) {
    if (value.size() > kMaxWordBytes - 1 || value.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string out = "\"";
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\' && c != '"') {
            out += c;
        } else {
            out += '\\';
            out += static_cast<char>('0' + ((byte >> 6) & 7));
            out += static_cast<char>('0' + ((byte >> 3) & 7));
            out += static_cast<char>('0' + (byte & 7));
        }
    }
    out += '"';
    return out;
}

}  // namespace PppdWords
