#pragma once

#include <string>

// Capturing and sending raw Ethernet frames needs CAP_NET_RAW. The install
// step grants it to the capturing executables in their permitted set only
// (`setcap cap_net_raw+p`), so the program does not run with it in effect: it
// is raised into the effective set just around opening a capture and lowered
// again at once. Running as root needs none of this; root's effective set
// already holds it and is left as it is.

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

// The path of the running executable (/proc/self/exe), or empty.
std::string CurrentExecutablePath();

// Explains a missing capture permission and gives the exact command that
// grants it to the given executable, e.g.
//   "Capturing network frames needs the CAP_NET_RAW capability.\n"
//   "Grant it with: sudo setcap cap_net_raw+p /usr/bin/linewatch-cli\n"
// The path is quoted for the shell when it holds anything but plain
// path characters.
std::string CapturePermissionHint(const std::string& executablePath);
