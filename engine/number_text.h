#pragma once

#include <string>

// A number with a fixed count of decimals and '.' as the decimal point,
// whatever locale the process runs in: log files, the table, the terminal and
// the metrics are read by programs and by people on other machines alike, so
// "12.346" must never turn into "12,346" because the desktop set LC_NUMERIC.
// printf's %f follows LC_NUMERIC (Qt applications call setlocale at start);
// std::to_chars does not.
std::string FormatFixed(double value, int decimals);
