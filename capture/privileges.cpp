#include "capture/privileges.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>

namespace {

using CapabilityData = std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3>;

bool ReadCapabilities(CapabilityData& data) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data.data()) == 0;
}

}  // namespace

bool DropPrivilegesForGood() {
    // Only with CAP_SETPCAP in effect (a root run); elsewhere the bounding
    // set cannot change and the emptied sets are what counts.
    prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    CapabilityData none{};
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    if (syscall(SYS_capset, &header, none.data()) != 0) return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;

    CapabilityData now{};
    if (!ReadCapabilities(now)) return false;
    for (const __user_cap_data_struct& word : now) {
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) return false;
    }
    return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_NET_RAW, 0, 0) == 0 &&
           prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
}
