// Folder creation shared by the Linux stand-ins that keep files under the
// machine root (registry hives, known folders, named-mutex locks, status
// files).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace wl::platform::posix {

// Creates the folder and its missing parents (mkdir -p) as checked_open.h's
// MakeFolder does: no symbolic link of another account followed, no folder
// of another ordinary user walked through, new folders with exactly `mode`.
// Every folder of the machine root is made 0755: its owner writes it, every
// user reads it. Returns 0 or the errno value of the step that failed
// (ENOTDIR when a file is in the way, EACCES when a check refused).
[[nodiscard]] int MakeDirectories(const std::string& path, mode_t mode = 0755);

// The user whose registry hive a SID names (S-1-5-18: uid 0,
// S-1-22-1-<uid>), false for any other SID.
bool UidOfSid(std::wstring_view sid, unsigned* uid);

}  // namespace wl::platform::posix
