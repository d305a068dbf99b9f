// On Linux the owner and mode of each file and folder of the machine root
// are its access rules, and they are set where it is made.
#include "platform/access_rules.h"

namespace wl::platform {

Win32Error ProtectMachineObject(MachineObject, std::wstring_view) { return kErrorSuccess; }

Expected<std::wstring, Win32Error> ReadAccessRules(MachineObject, std::wstring_view) {
  constexpr Win32Error kErrorNotSupported = 50;
  return Unexpected(kErrorNotSupported);
}

}  // namespace wl::platform
