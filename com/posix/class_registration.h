// The registration of a class that activation reads from the registry.
#pragma once

#include <string>

#include "com/com.h"

namespace wl::platform::posix {

// HKEY_CLASSES_ROOT\CLSID\{clsid} value reads for activation: the
// LocalServer32 command line and the AppID's LocalService. S_OK with the
// text; REGDB_E_CLASSNOTREG when absent; CO_E_SERVER_EXEC_FAILURE, with a
// report of why, when the value came from a hive that the process does not
// trust (see registry_origin.h) or the program (LocalServer32's first word)
// is not one it may start (checked_open.h's ProgramRefusal).
HRESULT ClassLocalServer(const CLSID& clsid, std::wstring* commandLine);
HRESULT ClassLocalService(const CLSID& clsid, std::wstring* serviceName);

}  // namespace wl::platform::posix
