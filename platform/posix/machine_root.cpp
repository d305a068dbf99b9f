#include "platform/machine_root.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/directories.h"
#include "platform/system.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

constexpr const char* kSystemRoot = "/var/lib/wayline";

std::wstring HomeFolder() {
  if (auto home = GetEnvVar(L"HOME"); home && !home->empty()) return *home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return WideFromUtf8(found->pw_dir);
  }
  return L"/tmp";
}

}  // namespace

std::wstring MachineRoot() {
  if (auto root = GetEnvVar(L"WAYLINE_ROOT"); root && !root->empty()) return *root;
  struct stat info {};
  if (geteuid() == 0 || (stat(kSystemRoot, &info) == 0 && S_ISDIR(info.st_mode))) {
    return WideFromUtf8(kSystemRoot);
  }
  return WideFromUtf8(posix::UserStateFolder());
}

namespace posix {

std::string UserStateFolder() {
  // The XDG rules say to ignore a relative value.
  auto state = GetEnvVar(L"XDG_STATE_HOME");
  if (!state || state->empty() || (*state)[0] != L'/') state = HomeFolder() + L"/.local/state";
  return Utf8FromWide(*state) + "/wayline";
}

}  // namespace posix

}  // namespace wl::platform
