#pragma once

#include <string_view>

namespace setupaid {

// Lets file and printer sharing (Samba: TCP 139 and 445, UDP 137 and 138)
// through the firewall that guards this machine, the first found of:
//   firewalld, running on the system bus: its "samba" service in the default
//     zone, for now (runtime) and for later boots (permanent);
//   ufw, enabled in ufw.conf: its "Samba" application profile, or the four
//     ports where the profile is not installed;
//   nftables: our tagged rules inserted at the top of every input base chain
//     of the running ruleset, and appended to /etc/nftables.conf (checked
//     with "nft -c" before it is replaced) when that file exists.
// Rules already there are not added again. Linux firewalls filter ports, not
// programs: the application name and image path are checked (neither may be
// empty) but name no rule. Answers 2 when no firewall runs.
int SetupSambaFirewall(std::string_view applicationName, std::string_view imagePath);

}  // namespace setupaid
