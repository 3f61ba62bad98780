#pragma once

// Gives up every capability for good: the bounding set loses CAP_NET_RAW
// where that is allowed (root), the ambient, inheritable, permitted and
// effective sets are emptied, and no-new-privs is set so that nothing this
// process could still start gains privileges. True when, read back, no set
// holds CAP_NET_RAW and no-new-privs is on.
bool DropPrivilegesForGood();
