#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace setupaid {

// The longest start of text of at most maxBytes bytes that does not end
// inside a UTF-8 character.
std::string_view Utf8Prefix(std::string_view text, size_t maxBytes);

// The characters of text, each as its UTF-8 bytes. A byte that does not
// belong to a well-formed character becomes U+FFFD, so the result is always
// well-formed UTF-8.
std::vector<std::string_view> Utf8Characters(std::string_view text);

// Text made well-formed UTF-8 (see Utf8Characters).
std::string WellFormedUtf8(std::string_view text);

}  // namespace setupaid
