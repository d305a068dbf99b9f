// Windows keeps machine-wide state in its own places (the registry, the
// known folders), so the root is only what a test or an operator sets.
#include "platform/machine_root.h"

#include "platform/system.h"

namespace wl::platform {

std::wstring MachineRoot() { return GetEnvVar(L"WAYLINE_ROOT").value_or(std::wstring()); }

}  // namespace wl::platform
