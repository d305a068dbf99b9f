#include "platform/machine_root.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/trust.h"
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

std::wstring StateFolder() {
  // The XDG rules say to ignore a relative value.
  auto state = GetEnvVar(L"XDG_STATE_HOME");
  if (!state || state->empty() || (*state)[0] != L'/') state = HomeFolder() + L"/.local/state";
  return *state + L"/wayline";
}

}  // namespace

std::wstring MachineRoot() {
  if (auto root = GetEnvVar(L"WAYLINE_ROOT"); root && !root->empty()) return *root;
  struct stat info {};
  if (geteuid() == 0 || (stat(kSystemRoot, &info) == 0 && S_ISDIR(info.st_mode))) {
    return WideFromUtf8(kSystemRoot);
  }
  return StateFolder();
}

namespace posix {

uid_t MachineRootOwner() {
  struct stat info {};
  if (stat(Utf8FromWide(MachineRoot()).c_str(), &info) != 0) return geteuid();
  return info.st_uid;
}

bool IsSystemAccount(uid_t uid) { return uid == 0 || uid == MachineRootOwner(); }

bool ProcessIsSystem() { return IsSystemAccount(geteuid()); }

std::string UserStateRoot() { return Utf8FromWide(StateFolder()); }

std::string OwnStateRoot() { return ProcessIsSystem() ? Utf8FromWide(MachineRoot()) : UserStateRoot(); }

mode_t FolderModeUnder(const std::string& base) {
  std::string state = UserStateRoot();
  return base == state || base.starts_with(state + "/") ? 0700 : 0755;
}

std::string DescribeUser(uid_t uid) {
  std::string text = "user " + std::to_string(uid);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr) {
    text += std::string(" (") + found->pw_name + ")";
  }
  return text;
}

}  // namespace posix
}  // namespace wl::platform
