// Account facts that the Linux stand-ins share. The local system account
// (SYSTEM, S-1-5-18) is uid 0 and the owner of the machine root: the
// service's account owns /var/lib/wayline, and a user who made a root for
// themselves administers it. Every other user keeps its name and has the SID
// S-1-22-1-<uid>, which names that user's registry hive.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace wl::platform::posix {

// A user as a process runs as it: user, primary group and groups.
struct AccountIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// The machine root's owner as a process would run as it: its primary group
// and groups from the user database, or the root folder's group alone for an
// owner that has no entry there. False when the root does not exist.
bool MachineSystemAccount(AccountIdentity* account);

// Makes this process (every thread) run as the account: groups, group, then
// user. 0 or the errno of the step that failed. Safe between fork and exec.
int SwitchToAccount(const AccountIdentity& account);

// The SID string of the process's effective user, and of any user.
std::wstring ProcessUserSidString();
std::wstring UserSidString(unsigned uid);

}  // namespace wl::platform::posix
