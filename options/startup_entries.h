#pragma once

#include <string>

// The program's autostart entries as the General page reads and changes them.

// The start-up mode the autostart entries give: 0, then 1 when the current
// user's entry exists, then 2 when the all-users entry does.
int ReadStartupMode();

enum class StartupChange { kUnchanged, kChanged, kDeclined, kFailed };
// Makes the autostart entries give newMode, from what they give now: the
// current user's entry exists for 1 only, the all users' entry for 2 only.
// Every entry to change is opened first (all users through the elevated
// helper when its folder cannot be written here: one prompt); the new entry is
// written first and the others removed only when that worked. kDeclined: no
// elevated helper was granted, nothing touched.
StartupChange ChangeStartupEntry(int newMode);
// The command line of the current user's entry: the running program, quoted;
// empty when its path cannot be told or cannot be quoted.
std::string UserRunCommand();
