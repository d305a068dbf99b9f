#include "platform/posix/directories.h"

#include "platform/posix/checked_open.h"

namespace wl::platform::posix {

int MakeDirectories(const std::string& path, mode_t mode) { return MakeFolder(path, mode).error; }

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
