#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// pppd's word rules for options files (peers entries), as pppd itself reads
// them, so that what we write is read back by pppd as exactly the words we
// meant and an entry is listed under the AC-Name pppd dials.
//
// Reading:
//   - Words are separated by white space (space, tab, newline, carriage
//     return, vertical tab, form feed).
//   - A '#' outside quotes begins a comment that runs to the end of the line;
//     it also ends a word it follows ("MyISP#main" reads as "MyISP"). Inside
//     quotes it is an ordinary character.
//   - A word may contain quoted stretches: '"' or '\'' opens one and the same
//     character closes it; white space, '#' and line ends inside it belong to
//     the word. A quote of the other kind inside is ordinary. An empty pair
//     ("") makes an empty word, except at the very end of the text.
//   - A backslash escapes the next character, inside quotes as well:
//     \a \b \f \n \r \s (space) \t; \ followed by up to three octal digits
//     (the low eight bits kept); \x followed by up to two hexadecimal digits
//     (none at all stands for a NUL byte); a backslash before a newline joins
//     the lines (both vanish); any other character stands for itself (\v is
//     "v", \\ \" \' \# are the character).
//   - A word is a C string to pppd: a NUL byte from an escape ends it.
//   - A word keeps at most kMaxWordBytes - 1 bytes; the rest of a longer word
//     is dropped (pppd warns and does the same).
namespace PppdWords {

constexpr size_t kMaxWordBytes = 1024;

struct Word {
    std::string text;
    bool truncated = false;  // longer than kMaxWordBytes - 1 bytes and cut
};

// All words of an options file's text.
std::vector<Word> ReadWords(std::string_view text);

// The word written so that ReadWords gives back exactly value as one word: in
// double quotes, with backslash, double quote and every byte outside printable
// ASCII written as a three-digit octal escape. Nothing when it cannot be: a
// NUL byte (pppd's words are C strings) or more than kMaxWordBytes - 1 bytes.
std::optional<std::string> QuoteWord(std::string_view value);

}  // namespace PppdWords
