// The folder under which the Linux stand-ins keep what Windows keeps
// machine-wide (registry hives, program data, run-time locks):
// $WAYLINE_ROOT when set; otherwise /var/lib/wayline for root or when it
// exists; otherwise $XDG_STATE_HOME/wayline (default ~/.local/state/wayline).
// Read anew on every call so that tests can point it at a temporary folder.
// Windows keeps these things in its own places; there the root is only what
// $WAYLINE_ROOT says, empty when it is unset.
#pragma once

#include <string>

namespace wl::platform {

std::wstring MachineRoot();

}  // namespace wl::platform
