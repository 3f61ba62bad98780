#pragma once

#include <string>

namespace setupaid {

// Switches NetBIOS on for one interface through Samba: the [global] settings
// of smb.conf (or of Samba's registry when smb.conf says "config backend =
// registry"), checked with testparm before they are put in place, and then
// the NetBIOS name daemon (nmbd) enabled and (re)started through systemd.
// Answers 4 when Samba (smb.conf, testparm or the nmbd unit) is absent, 5 when
// not called as root, 6 for a failure or an interface name Samba's
// configuration cannot hold.
int EnableNetbios(const std::string& interfaceName);

}  // namespace setupaid
