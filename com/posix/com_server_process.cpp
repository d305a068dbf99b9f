// A COM server process on Linux: who may connect is decided by the class
// socket's mode, so there is no process security to set; modules are the
// files mapped into the process.
#include "com/com_server_process.h"

#include <fstream>
#include <string>

#include "platform/text.h"

namespace wl::platform {

HRESULT InitializeServerSecurity() { return S_OK; }

bool IsModuleLoaded(std::wstring_view moduleName) {
  std::string wanted = Utf8FromWide(moduleName);
  for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::size_t slash = line.rfind('/');
    if (slash == std::string::npos) continue;
    std::string name = line.substr(slash + 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == wanted) return true;
  }
  return false;
}

}  // namespace wl::platform
