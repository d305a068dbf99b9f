// Access rules of machine-wide state that ordinary users must not change.
//
// On Windows the system's defaults leave a gap: ProgramData lets every user
// create files and folders in a folder made below it, and makes them the
// owner of what they create, so a user could plant a log file in the data
// folder before the service makes it. These calls replace the defaults with
// explicit rules, not inherited from above: SYSTEM and Administrators full
// control, Users read (and list and run), for the object and everything
// below it; the owner becomes Administrators when the caller may set it (an
// administrator or SYSTEM), which takes back a folder that a user made
// first. A file that such a user had put inside before keeps its owner.
//
// On Linux each file and folder of the machine root carries the same rules
// in its owner and mode, set where it is made; these calls have nothing to
// add there and succeed.
#pragma once

#include <string>
#include <string_view>

#include "platform/expected.h"
#include "platform/types.h"

namespace wl::platform {

enum class MachineObject {
  kFolder,  // a folder, by its path
  kKey,     // a key under HKEY_LOCAL_MACHINE, by its sub-key path
};

// Gives the object the rules above. 0, or the first failure (5 for a caller
// who may not change them; the rules may then be set while the owner is not).
[[nodiscard]] Win32Error ProtectMachineObject(MachineObject kind, std::wstring_view path);

// The object's owner and access list in the security descriptor string form
// ("O:BAD:PAI(A;OICI;FA;;;SY)..."); or the failure, 50 on Linux, which has
// no such rules to read.
Expected<std::wstring, Win32Error> ReadAccessRules(MachineObject kind, std::wstring_view path);

}  // namespace wl::platform
