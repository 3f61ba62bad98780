#include "setupaid/debug_output.h"

#include <cstdio>
#include <string>

namespace setupaid {

void DebugOutput(std::string_view text) {
    std::string line = "setupaid: ";
    line += text;
    if (line.back() != '\n') line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace setupaid
