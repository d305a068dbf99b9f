// Folder creation shared by the Linux stand-ins that keep files under the
// machine root (registry hives, known folders, named-mutex locks).
#pragma once

#include <string>

namespace wl::platform::posix {

// Creates the folder and its missing parents (mkdir -p). Returns 0 or the
// errno value of the step that failed (ENOTDIR when a file is in the way).
int MakeDirectories(const std::string& path);

}  // namespace wl::platform::posix
