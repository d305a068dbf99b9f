// What a handle of the registry stand-in stands for: a key of one hive, the
// merged view of HKEY_CLASSES_ROOT, or HKEY_USERS itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registry/posix/hive_store.h"
#include "registry/registry.h"

namespace wl::platform {

// Predefined roots are resolved anew on every call (the machine root may
// change between calls); an open handle keeps the files it was opened on.
struct RegistryKeyObject {
  enum class Kind { Hive, Classes, Users };
  Kind kind = Kind::Hive;
  posix::HiveLocation hive;         // Kind::Hive
  posix::HiveLocation userHive;     // Kind::Classes: HKCU\Software\Classes ...
  posix::HiveLocation machineHive;  // ... over HKLM\Software\Classes
  std::string usersFolder;          // Kind::Users
  std::vector<std::wstring> path;
  std::uint32_t access = 0;
  bool predefined = false;
};

}  // namespace wl::platform
