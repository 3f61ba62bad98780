#include "connections/pppd_words.h"

namespace PppdWords {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int OctalDigit(char c) {
    return c >= '0' && c <= '7' ? c - '0' : -1;
}

int HexDigit(char c) {
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

// Reads the escape after a backslash at text[pos - 1]; pos moves past it.
// Returns the byte it stands for, or nothing for a joined line.
std::optional<char> ReadEscape(std::string_view text, size_t& pos) {
    if (pos >= text.size()) {
        return std::nullopt;  // a backslash at the very end stands for nothing
    }
    const char c = text[pos++];
    switch (c) {
        case '\n':
            return std::nullopt;
        case 'a':
            return '\a';
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 's':
            return ' ';
        case 't':
            return '\t';
        case 'v':
            return '\v';
        case 'x': {
            int value = 0;
            int digits = 0;
            while (digits < 2 && pos < text.size() && HexDigit(text[pos]) >= 0) {
                value = value * 16 + HexDigit(text[pos++]);
                ++digits;
            }
            return digits == 0 ? 'x' : static_cast<char>(value);
        }
        default:
            break;
    }
    if (OctalDigit(c) >= 0) {
        int value = OctalDigit(c);
        for (int digits = 1; digits < 3 && pos < text.size() && OctalDigit(text[pos]) >= 0;
             ++digits) {
            value = value * 8 + OctalDigit(text[pos++]);
        }
        return static_cast<char>(value & 0xFF);
    }
    return c;
}

}  // namespace

std::vector<Word> ReadWords(std::string_view text) {
    std::vector<Word> words;
    size_t pos = 0;
    for (;;) {
        // Between words: white space, comments and joined lines.
        while (pos < text.size()) {
            if (IsSpace(text[pos])) {
                ++pos;
            } else if (text[pos] == '#') {
                while (pos < text.size() && text[pos] != '\n') {
                    ++pos;
                }
            } else if (text[pos] == '\\' && pos + 1 < text.size() && text[pos + 1] == '\n') {
                pos += 2;
            } else {
                break;
            }
        }
        if (pos >= text.size()) {
            return words;
        }
        Word word;
        char quote = 0;
        auto add = [&word](char c) {
            if (word.text.size() < kMaxWordBytes - 1) {
                word.text.push_back(c);
            } else {
                word.truncated = true;
            }
        };
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '\\') {
                if (std::optional<char> escaped = ReadEscape(text, pos)) {
                    add(*escaped);
                }
            } else if (quote != 0) {
                if (c == quote) {
                    quote = 0;
                } else {
                    add(c);
                }
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (IsSpace(c)) {
                break;
            } else {
                add(c);
            }
        }
        words.push_back(std::move(word));
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
