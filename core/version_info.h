#pragma once

#include <string>
#include <string_view>

// Reads the product and file version recorded in an executable built with
// lwcore (a program that calls this function carries the record). Both outputs
// are set only if a complete, well-formed record is found; otherwise, and for
// a missing, unreadable or non-regular file, both stay unchanged.
void ReadVersionStrings(std::string_view path, std::string& productVersion,
                        std::string& fileVersion);
