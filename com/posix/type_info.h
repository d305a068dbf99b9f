// The type information of the built-in type libraries, as the transport
// needs it to marshal calls.
#pragma once

#include <vector>

#include "com/com.h"

namespace wl::platform::posix {

// The built-in type library with that LIBID, or the interface with that IID
// in any of them; null when none was added.
const TypeLibDescription* FindBuiltInLibrary(const GUID& libid);
const InterfaceDescription* FindBuiltInInterface(const IID& iid);
// Every dual interface of the built-in type libraries.
std::vector<const InterfaceDescription*> BuiltInDualInterfaces();

}  // namespace wl::platform::posix
