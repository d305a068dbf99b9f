// Who is trusted with the machine root's state on Linux, and where a
// process that is not keeps its own files.
//
// The system account of a root is uid 0 and the owner of the root: the
// service account of an installed machine (/var/lib/wayline belongs to it),
// or the user who made a root for themselves (a build's root, a test's). It
// administers the root: it alone writes the machine-wide state there. Every
// other account is an ordinary user of that root, which keeps its own files
// (daily fallback file, named mutexes, crash dumps) in its own state folder.
#pragma once

#include <sys/types.h>

#include <string>

namespace wl::platform::posix {

// The owner of the machine root; the process's own user while the root does
// not exist (it is the one that would make it).
uid_t MachineRootOwner();

// Whether the account is trusted with the machine-wide state of the root:
// uid 0 or the owner of the root. The one answer to that question; every
// check of the layer asks it.
bool IsSystemAccount(uid_t uid);

// The same for this process's effective user.
bool ProcessIsSystem();

// $XDG_STATE_HOME/wayline (default ~/.local/state/wayline): the folder that
// would be the user's machine root if the machine had none.
std::string UserStateRoot();

// Where this process keeps the files it writes for itself: the machine root
// for the system account, the user's state folder for anyone else.
std::string OwnStateRoot();

// The mode of the folders the layer makes below base: 0700 in the user's
// state folder, which is the user's alone (also where it serves as the
// machine root), 0755 in any other root, which every user reads.
mode_t FolderModeUnder(const std::string& base);

// Who an account is, for messages: "user 65534 (nobody)".
std::string DescribeUser(uid_t uid);

}  // namespace wl::platform::posix
