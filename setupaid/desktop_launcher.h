#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "setupaid/feedback.h"

namespace setupaid {

// Starts a desktop program (xdg-open) from an argument list, never through a
// shell, and does not wait for it. It starts in the user's home with only
// descriptors 0 to 2 open (all three on /dev/null). Called as root from sudo
// or pkexec, the program runs as the desktop user who asked (PKEXEC_UID,
// SUDO_UID) with that user's groups and a fresh environment for that user's
// session; called as root for no such user, nothing starts: a browser must
// never run as root.
class DesktopLauncher : public AddressOpener {
  public:
    // 0 once the program runs, 4 when it is not installed, 5 when no desktop
    // user is known or the user cannot be taken on, 6 for any other failure.
    int Open(const std::vector<std::string>& argv) override;
};

// Whom a program started for the desktop runs as: the desktop user a root
// process acts for (PKEXEC_UID, else SUDO_UID), or the process itself when it
// is not root. Root acting for no one, or for root, has no desktop user
// (unknown); a variable that is not a plain number is invalid. Nothing is
// started in either case.
struct Invoker {
    enum class Kind { kSelf, kUser, kUnknown, kInvalid };
    Kind kind = Kind::kSelf;
    uid_t uid = 0;
};
Invoker InvokingUser();

}  // namespace setupaid
