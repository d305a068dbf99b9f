// The registration scripts that the program carries (host/scripts/*.rgs).
#pragma once

namespace wl {

// Makes the scripts known as the executable's "REGISTRY" resources 101 and
// 102 on Linux; on Windows they are already in the executable file and
// this changes nothing. Call once at start, before any registration.
void AddRegistrationScripts();

}  // namespace wl
