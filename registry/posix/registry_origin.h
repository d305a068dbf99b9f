// Which hive a registry value came from, for the Linux stand-ins that start
// programs named in the registry (activation's LocalServer32, a service's
// ImagePath): such a value is used only when it came from a hive that the
// starting process trusts.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/posix/checked_open.h"
#include "registry/registry.h"

namespace wl::platform::posix {

struct ValueOrigin {
  std::string hive;          // the hive file's path
  uid_t owner = kNoAccount;  // the account that owns that file
};

// The string value `name` (REG_SZ or REG_EXPAND_SZ, not expanded, without
// its terminating nulls) of root\subKey as RegistryQueryValue gives it (for
// HKEY_CLASSES_ROOT the user's classes over the machine's), and the hive
// that held it. 2 when the key or the value is missing, 13 for a value that
// is not a string.
[[nodiscard]] Win32Error QueryStringWithOrigin(HKey root, std::wstring_view subKey, std::wstring_view name,
                                               std::wstring* text, ValueOrigin* origin);

// Whether the process trusts a value from that hive: its file belongs to
// uid 0, the machine root's owner or the process's own user (the machine's
// hive, or the process's own).
bool TrustsOrigin(const ValueOrigin& origin);

}  // namespace wl::platform::posix
