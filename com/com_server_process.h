// What a COM server process sets up besides its class objects.
#pragma once

#include <string_view>

#include "com/com.h"

namespace wl::platform {

// CoInitializeSecurity with a security descriptor built from the calling
// thread's token (the process token when the thread has none), its owner
// and primary group and no access list; all authentication services,
// packet-level authentication, impersonation allowed, no capabilities.
// Returns its result. On Linux, where the class socket's mode decides who
// may connect (docs/platform.md), S_OK and nothing else.
HRESULT InitializeServerSecurity();

// Whether a module of that file name (any case) is loaded in the process
// (GetModuleHandleW).
bool IsModuleLoaded(std::wstring_view moduleName);

}  // namespace wl::platform
