// Activation of a class served by another process.
#pragma once

#include "com/com.h"

namespace wl::platform::posix {

// Connects to the class's server (activating it from the registration
// when nothing listens) and asks it for the interface; the proxy's
// reference into *object.
HRESULT CreateRemoteInstance(const CLSID& clsid, REFIID iid, void** object);

}  // namespace wl::platform::posix
