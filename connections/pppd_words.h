#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// pppd's word rules for options files (peers entries), as its manual documents
// them, so that what we write is read back by pppd as exactly the words we
// meant.
//
// Reading:
//   - Words are separated by white space (space, tab, newline, carriage
//     return, vertical tab, form feed).
//   - A '#' where a word would start begins a comment that runs to the end of
//     the line. Inside a word or inside quotes it is an ordinary character.
//   - A word may contain quoted stretches: '"' or '\'' opens one and the same
//     character closes it; white space inside it belongs to the word. A quote
//     character of the other kind inside is ordinary. An empty pair ("")
//     makes an empty word.
//   - A backslash escapes the next character, inside quotes as well:
//     \a \b \f \n \r \s (space) \t \v; \ followed by up to three octal
//     digits; \x followed by up to two hexadecimal digits; a backslash before
//     a newline joins the lines (both vanish); any other character stands for
//     itself (\\ \" \' \#).
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
