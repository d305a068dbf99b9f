#include "registry/registry.h"
#include "registry/registry_file.h"

namespace wl::platform {

HKey RegistryRootByName(std::wstring_view name) {
  if (RegistryNamesEqual(name, L"HKEY_LOCAL_MACHINE")) return kHKeyLocalMachine;
  if (RegistryNamesEqual(name, L"HKEY_CURRENT_USER")) return kHKeyCurrentUser;
  if (RegistryNamesEqual(name, L"HKEY_CLASSES_ROOT")) return kHKeyClassesRoot;
  if (RegistryNamesEqual(name, L"HKEY_USERS")) return kHKeyUsers;
  return nullptr;
}

}  // namespace wl::platform
