// The system-independent part of the text file operations.
#include "platform/text_file.h"

namespace wl::platform {

bool LastLineIsOpen(std::string_view head, std::string_view tail, std::uint64_t size, bool utf16) {
  std::uint64_t mark = 0;
  if (utf16 && head.starts_with("\xFF\xFE")) mark = 2;
  if (!utf16 && head.starts_with("\xEF\xBB\xBF")) mark = 3;
  if (size <= mark) return false;
  if (utf16) return size - mark < 2 || tail != std::string_view("\n\0", 2);
  return tail.empty() || tail.back() != '\n';
}

}  // namespace wl::platform
