// The system-independent part of the file operations.
#include "platform/file_system.h"

namespace wl::platform {

bool IsNotFoundError(Win32Error code) {
  return code == kErrorFileNotFound || code == kErrorPathNotFound || code == kErrorBadNetPath ||
         code == kErrorNetNameDeleted || code == kErrorInvalidName || code == kErrorDirectory;
}

std::wstring JoinPath(std::wstring_view first, std::wstring_view second) {
  std::wstring path(first);
  if (!path.empty() && !IsPathSeparator(path.back())) path.push_back(kPathSeparator);
  path.append(second);
  return path;
}

}  // namespace wl::platform
