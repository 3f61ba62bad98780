#include "setupaid/system_root.h"

#include <cstdlib>

namespace setupaid {

std::string SystemRoot() {
    const char* value = std::getenv(kRootVariable);
    std::string root = value != nullptr ? value : "";
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

std::string SystemPath(std::string_view absolutePath) {
    return SystemRoot() + std::string(absolutePath);
}

}  // namespace setupaid
