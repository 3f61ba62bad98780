#pragma once

#include <string>

// Capturing and sending raw Ethernet frames needs CAP_NET_RAW. The package
// grants it to one small program only, the capture helper linewatch-capture,
// which members of the linewatch group may run. A process that holds the
// capability itself (root, or an executable someone granted it to by hand)
// opens captures in process: in the permitted set only, it is raised into
// the effective set just around opening a capture and lowered again at once.
// Root's effective set already holds it and is left as it is.

// True when the calling thread can open a capture: CAP_NET_RAW is in its
// effective set, or in its permitted set so that it can be raised.
bool HasCapturePermission();

// Removes CAP_NET_RAW from the effective set of the calling thread, keeping
// it permitted. Threads started afterwards inherit the lowered set. Call it
// once at program start, before any thread is started. A no-op for root
// (uid 0 keeps its privileges, as a root run is meant to).
void LowerCaptureCapability();

// Raises CAP_NET_RAW into the effective set of the calling thread for the
// lifetime of the object, when it is permitted but not effective, and lowers
// it again on destruction. Capabilities are per thread on Linux, so the
// capture must be opened on the thread that holds the guard.
class ScopedCaptureCapability {
  public:
    ScopedCaptureCapability();
    ~ScopedCaptureCapability();
    ScopedCaptureCapability(const ScopedCaptureCapability&) = delete;
    ScopedCaptureCapability& operator=(const ScopedCaptureCapability&) = delete;

    bool Raised() const { return raised_; }

  private:
    bool raised_ = false;
};

// The name of the user running the program (from the password database, else
// the numeric uid).
std::string CurrentUserName();

// Explains a missing capture permission and gives the step that grants it:
// joining the linewatch group, whose members may run the capture helper, e.g.
//   "Capturing network frames needs membership of the linewatch group.\n"
//   "Join it with: sudo usermod -aG linewatch alice (then log in again)\n"
// A name that is not a plain user name is quoted for the shell.
std::string CapturePermissionHint(const std::string& userName);
