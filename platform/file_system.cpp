// The system-independent part of the file operations.
#include "platform/file_system.h"

#include <algorithm>
#include <string_view>
#include <vector>

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

std::uint64_t LengthWithoutTornTail(std::uint64_t size,
                                    const std::function<bool(std::uint64_t, char*, std::size_t)>& read) {
  if (size == 0) return 0;
  char head[3] = {};
  std::size_t headSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof head));
  if (!read(0, head, headSize)) return size;
  if (headSize >= 2 && head[0] == '\xFF' && head[1] == '\xFE') return size;
  // Backwards from the end, a block at a time, to the last line feed.
  std::vector<char> block(1 << 16);
  for (std::uint64_t end = size; end > 0;) {
    std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(end, block.size()));
    std::uint64_t start = end - count;
    if (!read(start, block.data(), count)) return size;
    std::string_view text(block.data(), count);
    if (std::size_t last = text.rfind('\n'); last != std::string_view::npos) return start + last + 1;
    end = start;
  }
  return headSize == 3 && std::string_view(head, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

}  // namespace wl::platform
