#include "platform/posix/directories.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/machine_root.h"
#include "platform/text.h"

namespace wl::platform::posix {

namespace {

constexpr mode_t kSharedMode = 01777;

bool IsShared(const struct stat& info) { return (info.st_mode & kSharedMode) == kSharedMode; }

int Make(const std::string& path, bool shared) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0777) == 0) {
      // The mode is set apart from mkdir, which the umask would narrow.
      if (shared && at == path.size()) {
        chmod(part.c_str(), kSharedMode);
      } else {
        InheritSharing(part);
      }
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  if (stat(path.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

int MakeDirectories(const std::string& path) { return Make(path, false); }

int MakeSharedDirectories(const std::string& path) { return Make(path, true); }

void InheritSharing(const std::string& path) {
  // Only inside the machine root: a folder made in /tmp stays private.
  std::string root = Utf8FromWide(MachineRoot());
  if (root.empty() || !path.starts_with(root + "/")) return;
  std::size_t slash = path.find_last_of('/');
  struct stat parent {};
  if (stat(path.substr(0, slash).c_str(), &parent) == 0 && IsShared(parent)) chmod(path.c_str(), kSharedMode);
}

bool UidOfSid(std::wstring_view sid, unsigned* uid) {
  if (sid == L"S-1-5-18") {
    *uid = 0;
    return true;
  }
  constexpr std::wstring_view kUnixUser = L"S-1-22-1-";
  if (!sid.starts_with(kUnixUser) || sid.size() == kUnixUser.size() || sid.size() > kUnixUser.size() + 10) {
    return false;
  }
  unsigned long long value = 0;
  for (wchar_t c : sid.substr(kUnixUser.size())) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<unsigned>(c - L'0');
  }
  if (value > 0xFFFFFFFEull) return false;
  *uid = static_cast<unsigned>(value);
  return true;
}

}  // namespace wl::platform::posix
