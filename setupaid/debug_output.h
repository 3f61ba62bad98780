#pragma once

#include <string_view>

namespace setupaid {

// Tells whoever runs the installer why a call answered as it did: one line on
// standard error, which package scripts log. Shown to no user otherwise.
void DebugOutput(std::string_view text);

}  // namespace setupaid
