#pragma once

#include <string_view>

namespace setupaid {

// Lets file and printer sharing (Samba: TCP 139 and 445, UDP 137 and 138)
// through the firewall that guards this machine, the first found of:
//   firewalld, running on the system bus: its "samba" service in the default
//     zone, for now (runtime) and for later boots (permanent);
//   ufw, enabled in ufw.conf: its "Samba" application profile, or the four
//     ports where the profile is not installed;
//   nftables: our tagged rules inserted at the top of each running input
//     base chain that may drop packets, and appended to /etc/nftables.conf,
//     both or neither: the boot file must load from an empty ruleset with
//     them (as at boot) before anything changes. No table of our own would
//     do: an accept ends only its own chain, and the others still drop.
//     Where the boot file cannot bring the rules back (it is missing, or does
//     not make a chain that needs them), nothing changes and the answer is 6.
// Rules already there are not added again; a call that finds them all, live
// and in the boot file, answers 0. Linux firewalls filter ports, not
// programs: the application name and image path are checked (neither may be
// empty) but name no rule. Answers 2 when no firewall runs.
int SetupSambaFirewall(std::string_view applicationName, std::string_view imagePath);

}  // namespace setupaid
