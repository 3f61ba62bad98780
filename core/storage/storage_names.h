#pragma once

#include <string_view>

// Where the program's options live, under either registry root, as a key
// path from the root.
constexpr std::string_view kOptionsKeyPath =
    "\\Software\\Tarnweld Software\\Line Watchman\\Options";
// The key whose value kRunValueName makes the program start with the session.
constexpr std::string_view kRunKeyAbsolutePath =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr std::string_view kRunValueName = "Line Watchman";
// The INI file beside the program that switches it to portable mode, appended
// to the program folder as written.
constexpr std::string_view kIniFileName = "/linewatch.ini";
constexpr std::string_view kIniOptionsSection = "Options";
