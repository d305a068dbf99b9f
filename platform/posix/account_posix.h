// Account facts that the Linux stand-ins share: the SID string of a user
// (S-1-5-18 for uid 0, S-1-22-1-<uid> otherwise), which names that user's
// registry hive, and who counts as SYSTEM for the machine root.
#pragma once

#include <string>

namespace wl::platform::posix {

std::wstring ProcessUserSidString();
std::wstring UserSidString(unsigned uid);

// Whether the user is trusted with the machine-wide state of the machine
// root: uid 0, or the owner of the root folder (the service account that
// owns /var/lib/wayline, or the user who made a root for themselves and so
// administers it). Asks the system each time (the root may change).
bool IsSystemForRoot(unsigned uid);
// The same for this process's effective user.
bool ProcessIsSystemForRoot();

}  // namespace wl::platform::posix
