// Folder creation shared by the Linux stand-ins that keep files under the
// machine root (registry hives, known folders, named-mutex locks).
#pragma once

#include <string>
#include <string_view>

namespace wl::platform::posix {

// Creates the folder and its missing parents (mkdir -p). Returns 0 or the
// errno value of the step that failed (ENOTDIR when a file is in the way).
[[nodiscard]] int MakeDirectories(const std::string& path);

// The same for a folder that every user of the machine shares (ProgramData,
// the named-mutex locks, the users' hives): when this call makes it, it is
// world-writable with the sticky bit (01777, like /tmp), so that each user
// can add files but not change or remove another user's. Its missing
// parents are made as MakeDirectories makes them.
[[nodiscard]] int MakeSharedDirectories(const std::string& path);

// Gives a folder just made inside a shared folder the same rights, as a
// folder inherits its parent's rights on Windows.
void InheritSharing(const std::string& path);

// The user's own state: $XDG_STATE_HOME/wayline (default
// ~/.local/state/wayline), the folder that would be the user's machine root
// if the machine had none. It holds what an ordinary user's processes keep
// for themselves beside a machine root they do not own, such as the sockets
// of the user's own local servers.
std::string UserStateFolder();

// The user whose registry hive a SID names (S-1-5-18: uid 0,
// S-1-22-1-<uid>), false for any other SID.
bool UidOfSid(std::wstring_view sid, unsigned* uid);

}  // namespace wl::platform::posix
