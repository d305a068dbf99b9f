// The process's user and account SIDs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace wl::platform {

// GetUserNameW. On Linux the effective user's name, "SYSTEM" for uid 0.
[[nodiscard]] Win32Error GetCurrentUserName(std::wstring* name);

// LookupAccountNameW on the local system: the binary SID of an account
// (1332 when there is no such account).
[[nodiscard]] Win32Error LookupAccountSid(std::wstring_view accountName, std::vector<std::uint8_t>* sid);

// ConvertSidToStringSidW: "S-1-5-18" and the like.
[[nodiscard]] Win32Error ConvertSidToString(const std::vector<std::uint8_t>& sid, std::wstring* text);

}  // namespace wl::platform
