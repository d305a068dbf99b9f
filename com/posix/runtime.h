// What the runtime of the Linux COM stand-in (com_runtime.cpp) offers the
// transport: the installed hooks, the settings in force, the class objects
// registered in this process.
#pragma once

#include <string_view>

#include "com/com.h"

namespace wl::platform::posix {

// Sends a report to the installed sink.
void ReportCom(ComReport kind, std::wstring_view text);

// Starts the service through the installed ServiceStarter.
Win32Error StartNamedService(std::wstring_view name);

// The time-outs and server limits in force (SetComTimeouts,
// SetComServerLimits).
ComTimeouts CurrentComTimeouts();
ComServerLimits CurrentComServerLimits();

// The in-process class object registered for the class, with a reference
// added; null when none is registered.
IUnknown* FindLocalClassObject(const CLSID& clsid);

// Looks for bytes to read on the socket for a few tens of microseconds,
// without sleeping; true when some came. A peer that streams calls or
// replies sends its next part that soon, and on a busy connection looking
// is cheaper than sleeping and being woken.
bool AwaitReadable(int fd);

}  // namespace wl::platform::posix
