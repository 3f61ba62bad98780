#pragma once

#include <string_view>

// The one place where failures the user is not told about are reported.
// Writes the text to standard error as it stands (texts carry their own "\n").
void DebugOutput(std::string_view text);
