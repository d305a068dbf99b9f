// The process's user and account SIDs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/expected.h"
#include "platform/types.h"

namespace wl::platform {

// GetUserNameW. On Linux the effective user's name, "SYSTEM" for uid 0.
Expected<std::wstring, Win32Error> GetCurrentUserName();

// LookupAccountNameW on the local system: the binary SID of an account
// (1332 when there is no such account).
Expected<std::vector<std::uint8_t>, Win32Error> LookupAccountSid(std::wstring_view accountName);

// ConvertSidToStringSidW: "S-1-5-18" and the like.
Expected<std::wstring, Win32Error> ConvertSidToString(const std::vector<std::uint8_t>& sid);

}  // namespace wl::platform
