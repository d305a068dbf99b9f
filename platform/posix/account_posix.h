// Account facts that the Linux stand-ins share: the SID string of a user
// (S-1-5-18 for uid 0, S-1-22-1-<uid> otherwise), which names that user's
// registry hive.
#pragma once

#include <string>

namespace wl::platform::posix {

std::wstring ProcessUserSidString();
std::wstring UserSidString(unsigned uid);

}  // namespace wl::platform::posix
