#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Names read from the wire (AC-Name, Service-Name) can hold any bytes a
// stranger on the segment chooses to send. DisplayNetworkText is the one way
// such bytes reach a log, a list, a balloon or a terminal: it turns everything
// that could act on the reader instead of being read into a visible escape.
//
// Escape form (hexadecimal digits lower-case, always of the stated width):
//   \\          a backslash, doubled so that every escape below is unambiguous
//   \xHH        a byte 0x00-0x1F or 0x7F (NUL, ESC, tab, line breaks, DEL),
//               and every byte that is not part of well-formed UTF-8
//               (stray continuation bytes, overlong forms, surrogates,
//               sequences cut short, bytes 0xF5-0xFF)
//   \uHHHH      C1 controls U+0080-U+009F, and invisible or reordering code
//               points: bidirectional controls (U+061C, U+200E, U+200F,
//               U+202A-U+202E, U+2066-U+2069), zero-width and joiner
//               characters (U+200B-U+200D, U+2060-U+206F, U+FEFF), soft hyphen
//               U+00AD, fillers and selectors that render as nothing (Unicode's
//               default-ignorable code points), line and paragraph separators
//               U+2028/U+2029 and interlinear annotation U+FFF9-U+FFFB
//   \UHHHHHHHH  the same for code points above U+FFFF (tag characters
//               U+E0000-U+E0FFF and others that are default-ignorable)
// Everything else, printable ASCII (quotes included) and well-formed
// printable UTF-8 such as Cyrillic names, is copied unchanged.
//
// The result is safe to print and to write as one log line. It may still hold
// '/' and quotes: code that builds a file name or a configuration word from it
// applies that format's own rules on top.
std::string DisplayNetworkText(std::string_view raw);

// Network names are kept to a number of characters, not bytes: a cut must
// never split a UTF-8 sequence, or the kept name ends in a stray byte and two
// names that differ only after the cut become one. A well-formed UTF-8
// sequence counts as one character, and so does every byte that is not part
// of one (the same reading as DisplayNetworkText's).
size_t CountNetworkTextCharacters(std::string_view raw);
// The longest start of `raw` that holds at most `maxCharacters` characters.
std::string_view CutNetworkText(std::string_view raw, size_t maxCharacters);
